// The command record, fetched from the private database of a CloudKit container.
#include "Services.h"

#import "FoundationText.h"
#import <CloudKit/CloudKit.h>
#import <Security/Security.h>

#include <optional>
#include <string>
#include <utility>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

// What a CloudKit exception says. Some misconfigurations make CloudKit raise instead of
// reporting an error; the agent logs them like any other failure rather than crashing.
std::string exceptionText(NSException* exception)
{
    std::string text = utf8Text(exception.reason);
    return text.empty() ? utf8Text(exception.name) : text;
}

// Which entitlement keeps this process from CloudKit in the container, or none. CloudKit traps,
// which no handler can catch, when the signature lacks them, so they are read before it is asked.
std::optional<std::string> missingEntitlement(NSString* containerIdentifier)
{
    id task = CFBridgingRelease(SecTaskCreateFromSelf(nullptr));
    if (task == nil)
        return "the agent cannot read its own entitlements";
    const auto lists = [&](NSString* entitlement, NSString* item) {
        id value = CFBridgingRelease(SecTaskCopyValueForEntitlement(
            (__bridge SecTaskRef)task, (__bridge CFStringRef)entitlement, nullptr));
        return [value isKindOfClass:[NSArray class]] && [value containsObject:item];
    };
    if (!lists(@"com.apple.developer.icloud-container-identifiers", containerIdentifier))
        return "missing entitlement: com.apple.developer.icloud-container-identifiers lacks " +
               utf8Text(containerIdentifier);
    if (!lists(@"com.apple.developer.icloud-services", @"CloudKit"))
        return "missing entitlement: com.apple.developer.icloud-services lacks CloudKit";
    return std::nullopt;
}

std::optional<std::string> textField(CKRecord* record, NSString* key)
{
    id value = [record objectForKey:key];
    if (![value isKindOfClass:[NSString class]])
        return std::nullopt;
    return utf8Text(value);
}

std::optional<Instant> dateField(CKRecord* record, NSString* key)
{
    id value = [record objectForKey:key];
    if (![value isKindOfClass:[NSDate class]])
        return std::nullopt;
    NSDate* date = value;
    return date.timeIntervalSince1970;
}

CommandRecord commandRecord(CKRecord* record)
{
    return CommandRecord{
        .kind = textField(record, @"kind"),
        .nonce = textField(record, @"nonce"),
        .issuedAt = dateField(record, @"issuedAt"),
    };
}

bool isMissingRecord(NSError* error)
{
    return [error.domain isEqualToString:CKErrorDomain] && error.code == CKErrorUnknownItem;
}

class CloudCommandRecordStore final : public CommandRecordStore {
public:
    explicit CloudCommandRecordStore(CKContainer* container) : container_(container) {}

    void fetchCommandRecord(FetchCompletion completion) override
    {
        @autoreleasepool {
            @try {
                // Only the container is kept; its private database is taken at each fetch.
                CKDatabase* database = container_.privateCloudDatabase;
                CKRecordID* recordId = [[CKRecordID alloc] initWithRecordName:@"command"];
                [database fetchRecordWithID:recordId
                          completionHandler:^(CKRecord* record, NSError* error) {
                            @autoreleasepool {
                                if (record != nil)
                                    completion(commandRecord(record), std::nullopt);
                                else if (error == nil || isMissingRecord(error))
                                    completion(std::nullopt, std::nullopt);
                                else
                                    completion(std::nullopt, errorText(error));
                            }
                          }];
            } @catch (NSException* exception) {
                completion(std::nullopt, exceptionText(exception));
            }
        }
    }

private:
    CKContainer* container_;
};

// Stands in for a container the agent cannot use: every fetch reports why.
class UnavailableCommandRecordStore final : public CommandRecordStore {
public:
    explicit UnavailableCommandRecordStore(std::string reason) : reason_(std::move(reason)) {}

    void fetchCommandRecord(FetchCompletion completion) override
    {
        completion(std::nullopt, reason_);
    }

private:
    std::string reason_;
};

} // namespace

std::unique_ptr<CommandRecordStore> openCommandContainer(std::string_view containerIdentifier)
{
    @autoreleasepool {
        NSString* identifier = foundationString(containerIdentifier);
        if (identifier == nil)
            return std::make_unique<UnavailableCommandRecordStore>(
                "the container identifier is not valid UTF-8");
        if (auto missing = missingEntitlement(identifier))
            return std::make_unique<UnavailableCommandRecordStore>(*missing);
        @try {
            return std::make_unique<CloudCommandRecordStore>(
                [CKContainer containerWithIdentifier:identifier]);
        } @catch (NSException* exception) {
            return std::make_unique<UnavailableCommandRecordStore>(exceptionText(exception));
        }
    }
}

} // namespace drovix
