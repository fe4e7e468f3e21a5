// Crossing between the agent's UTF-8 texts and Foundation's strings. Objective-C++ only.
#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

namespace drovix {

// The text as a Foundation string, or nil when it is not valid UTF-8.
inline NSString* foundationString(std::string_view text)
{
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding];
}

// The string as UTF-8, embedded NUL characters included. A lone surrogate, which UTF-8 cannot
// carry, is replaced rather than losing the whole text; nil gives the empty text.
inline std::string utf8Text(NSString* string)
{
    NSData* bytes = [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:YES];
    if (bytes == nil)
        return {};
    return std::string(static_cast<const char*>(bytes.bytes), bytes.length);
}

// What the agent reports of a platform error: its localized description.
inline std::string errorText(NSError* error)
{
    std::string text = utf8Text(error.localizedDescription);
    return text.empty() ? std::string("unknown error") : text;
}

} // namespace drovix
