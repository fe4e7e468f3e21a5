// The agent's messages in the unified system log, through NSLog.
#include "Services.h"

#import "FoundationText.h"

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

class SystemLogSink final : public LogSink {
public:
    void log(std::string_view message) override
    {
        @autoreleasepool {
            NSString* text = foundationString(message);
            // Messages arrive as UTF-8; should one not be, it is still logged, byte per
            // character, rather than lost.
            if (text == nil)
                text = [[NSString alloc] initWithBytes:message.data()
                                                length:message.size()
                                              encoding:NSISOLatin1StringEncoding];
            // The message is an argument, never the format, so a "%" in it is printed as is.
            NSLog(@"%@", text);
        }
    }
};

} // namespace

std::unique_ptr<LogSink> makeLogSink()
{
    return std::make_unique<SystemLogSink>();
}

} // namespace drovix
