// Force-included before each file of the compile check: names that a Mac lacks, or that only
// GNUstep has, become errors wherever they are used. Foundation and the C and C++ libraries are
// read first, so that their own definitions of these names are not what trips.
#pragma clang system_header

#import <Foundation/Foundation.h>

#include <ctime>

// Linux only: its clocks, descriptors for events, timers, signals and processes, /proc helpers.
#pragma GCC poison __linux__ __linux __gnu_linux__ CLOCK_BOOTTIME CLOCK_BOOTTIME_ALARM CLOCK_TAI
#pragma GCC poison CLOCK_REALTIME_ALARM CLOCK_MONOTONIC_COARSE CLOCK_REALTIME_COARSE eventfd
#pragma GCC poison epoll_create epoll_create1 epoll_ctl epoll_wait epoll_pwait signalfd prctl
#pragma GCC poison timerfd_create timerfd_settime pidfd_open pidfd_send_signal inotify_init
#pragma GCC poison inotify_init1 pipe2 dup3 accept4 get_nprocs program_invocation_name
// GNUstep only.
#pragma GCC poison NSDebugLog NSDebugLLog NSDebugFLog NSDebugMLog NSWarnLog NSWarnFLog NSWarnMLog
#pragma GCC poison GSOnceFLog GSOnceMLog notImplemented subclassResponsibility shouldNotImplement
