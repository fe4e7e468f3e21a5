// The part of CloudKit the agent uses, declared as Apple documents it. GNUstep has no CloudKit;
// only the compile check on Linux sees this file.
#pragma once

#import <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

extern NSString* const CKErrorDomain;

typedef NS_ENUM(NSInteger, CKErrorCode) { CKErrorUnknownItem = 11 };

@protocol CKRecordValue <NSObject>
@end

typedef NSString* CKRecordFieldKey;

@interface CKRecordID : NSObject <NSCopying>
- (instancetype)init __attribute__((unavailable));
- (instancetype)initWithRecordName:(NSString*)recordName;
@end

@interface CKRecord : NSObject <NSCopying>
- (nullable __kindof id<CKRecordValue>)objectForKey:(CKRecordFieldKey)key;
@end

@interface CKDatabase : NSObject
- (void)fetchRecordWithID:(CKRecordID*)recordID
        completionHandler:(void (^)(CKRecord* _Nullable, NSError* _Nullable))completionHandler;
@end

@interface CKContainer : NSObject
- (instancetype)init __attribute__((unavailable));
+ (CKContainer*)containerWithIdentifier:(NSString*)containerIdentifier;
@property(nonatomic, readonly) CKDatabase* privateCloudDatabase;
@end

#pragma clang assume_nonnull end
