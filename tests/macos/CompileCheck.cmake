# Runs the compile check of the macOS layer (mode=check), or proves that it rejects broken code
# (mode=bites). Usage: cmake -D settings=<CompileCheckSettings.cmake> -D mode=<mode> -P <this>.
cmake_minimum_required(VERSION 3.25)

include(${settings})

if(missing)
    list(JOIN missing "\n  " missing_text)
    message(FATAL_ERROR "The macOS compile check cannot run on this machine. Missing:\n"
                        "  ${missing_text}\n"
                        "Install: apt-get install clang-14 libgnustep-base-dev libgnustep-gui-dev")
endif()

# Compiles one file; sets <result> to TRUE when it compiled and <output> to the diagnostics.
function(compile_file file result output)
    execute_process(COMMAND ${compiler} ${flags} ${file}
                    RESULT_VARIABLE status
                    OUTPUT_VARIABLE diagnostics
                    ERROR_VARIABLE diagnostics)
    if(status EQUAL 0)
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
    set(${output} "${diagnostics}" PARENT_SCOPE)
endfunction()

if(mode STREQUAL "check")
    # Globbed here, when the test runs, so that a new file is checked without reconfiguring.
    file(GLOB sources ${sources_dir}/*.mm)
    if(NOT sources)
        message(FATAL_ERROR "No .mm file found in ${sources_dir}")
    endif()
    set(failed "")
    foreach(source IN LISTS sources)
        cmake_path(GET source FILENAME name)
        compile_file(${source} compiled diagnostics)
        if(compiled)
            message(STATUS "compiles: ${name}")
        else()
            message(STATUS "FAILS: ${name}\n${diagnostics}")
            list(APPEND failed ${name})
        endif()
    endforeach()
    if(failed)
        message(FATAL_ERROR "The macOS layer does not compile: ${failed}")
    endif()
    return()
endif()

if(NOT mode STREQUAL "bites")
    message(FATAL_ERROR "mode must be check or bites, not \"${mode}\"")
endif()

# Each case copies one real file, checks that the untouched copy compiles, then breaks it in one
# place and expects the check to fail with the diagnostic that names that fault. A case whose
# original text has gone from the file fails too, so the cases follow the code.
set(failures "")
set(case_number 0)
function(expect_rejected what file original broken expected_diagnostic)
    math(EXPR case_number "${case_number} + 1")
    set(case_number ${case_number} PARENT_SCOPE)
    set(case_dir ${work_dir}/${case_number})
    file(REMOVE_RECURSE ${case_dir})
    file(MAKE_DIRECTORY ${case_dir})

    file(READ ${sources_dir}/${file} text)
    string(FIND "${text}" "${original}" at)
    if(at EQUAL -1)
        list(APPEND failures "${what}: \"${original}\" is no longer in ${file}; update this case")
        set(failures "${failures}" PARENT_SCOPE)
        return()
    endif()

    # The control: the copy compiles where it lies, before it is broken.
    get_property(control_passed GLOBAL PROPERTY control_passed_${file})
    if(NOT control_passed)
        file(WRITE ${case_dir}/${file} "${text}")
        compile_file(${case_dir}/${file} compiled diagnostics)
        if(NOT compiled)
            list(APPEND failures "${what}: the untouched copy of ${file} fails:\n${diagnostics}")
            set(failures "${failures}" PARENT_SCOPE)
            return()
        endif()
        set_property(GLOBAL PROPERTY control_passed_${file} TRUE)
    endif()

    string(REPLACE "${original}" "${broken}" text "${text}")
    file(WRITE ${case_dir}/${file} "${text}")
    compile_file(${case_dir}/${file} compiled diagnostics)
    if(compiled)
        list(APPEND failures "${what}: the check accepted it")
    elseif(NOT diagnostics MATCHES "${expected_diagnostic}")
        list(APPEND failures "${what}: rejected, but not for that reason:\n${diagnostics}")
    else()
        message(STATUS "rejected as it should be: ${what}")
    endif()
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

expect_rejected("misspelled instance selector" AppWorkspace.mm
    "[application_ forceTerminate]"
    "[application_ forceTerminated]"
    "declares the selector 'forceTerminated'")
expect_rejected("misspelled class selector" AppWorkspace.mm
    "[NSRunningApplication runningApplicationsWithBundleIdentifier:"
    "[NSRunningApplication runningApplicationWithBundleIdentifier:"
    "no known class method for selector 'runningApplicationWithBundleIdentifier:'")
expect_rejected("selector that only Apple's AppKit has, misspelled" Platform.mm
    "setActivationPolicy:NSApplicationActivationPolicyProhibited"
    "setActivationPolicies:NSApplicationActivationPolicyProhibited"
    "declares the selector 'setActivationPolicies:'")
expect_rejected("wrong block signature for CloudKit's fetch" CommandRecordStore.mm
    "completionHandler:^(CKRecord* record, NSError* error)"
    "completionHandler:^(CKRecord* record, NSError* error, BOOL more)"
    "incompatible block pointer types|cannot initialize a parameter of type 'void \\(\\^")
expect_rejected("wrong block signature for NSTimer" MainThread.mm
    "block:^(NSTimer*)"
    "block:^(NSTimer*, BOOL)"
    "incompatible block pointer types|cannot initialize a parameter of type 'GSTimerBlock'")
expect_rejected("C++ type error across the bridge" Time.mm
    "return [NSDate date].timeIntervalSince1970;"
    "return [NSDate date];"
    "cannot initialize return object of type 'drovix::Instant'")

if(failures)
    list(JOIN failures "\n" failures_text)
    message(FATAL_ERROR "The compile check does not bite:\n${failures_text}")
endif()
