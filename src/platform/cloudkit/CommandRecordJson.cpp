// Reading CloudKit's JSON with nlohmann/json in one pass, building no document and throwing
// nothing; writing the record with it.
#include "platform/cloudkit/CommandRecordJson.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace drovix {

namespace {

using nlohmann::json;

// One of the record's fields as the text goes by: {"type": ..., "value": ...}.
struct FieldReading {
    enum class Type { absent, agrees, disagrees };
    bool isObject = false;
    Type type = Type::absent;
    std::optional<std::string> text;
    std::optional<double> number;
};

// Follows only the path to the entry (the top-level object, or its "records" array and that
// array's first element) and inside the entry its texts, "retryAfter", "modified" -> "timestamp",
// and the "fields" object -> field object -> "type" and "value"; passes over everything else. It
// stops at the first syntax error, keeping the parser's message, and at nesting deeper than the
// limit.
class EntryReader final : public nlohmann::json_sax<json> {
public:
    EntryReader(RecordPlace place, std::string_view name)
        : entryDepth_(place == RecordPlace::wholeText ? 1 : 3), name_(name)
    {
    }

    std::string failure;

    RecordEntry entry() const
    {
        RecordEntry entry = entry_;
        if (!hasFields_)
            return entry;
        CommandRecord& record = entry.record.emplace();
        if (const FieldReading& kind = fields_[kindField]; counts(kind) && kind.text)
            record.kind = kind.text;
        if (const FieldReading& nonce = fields_[nonceField]; counts(nonce) && nonce.text)
            record.nonce = nonce.text;
        if (const FieldReading& at = fields_[issuedAtField];
            counts(at) && at.number && std::isfinite(*at.number) &&
            (at.type == FieldReading::Type::agrees || std::trunc(*at.number) == *at.number))
            record.issuedAt = *at.number / 1000.0; // milliseconds since the epoch
        return entry;
    }

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t value) override
    {
        return scalar(static_cast<double>(value));
    }
    bool number_unsigned(number_unsigned_t value) override
    {
        return scalar(static_cast<double>(value));
    }
    bool number_float(number_float_t value, const string_t&) override { return scalar(value); }
    bool binary(binary_t&) override { return scalar(); }

    bool string(string_t& value) override
    {
        if (depth_ != followed_)
            return true;
        if (next_ == Next::type)
            current().type = value == wantedType(currentField_) ? FieldReading::Type::agrees
                                                                : FieldReading::Type::disagrees;
        else if (next_ == Next::value)
            current().text = value;
        else if (next_ == Next::entryText)
            entry_.texts[currentText_] = value;
        next_ = Next::ignored;
        return true;
    }

    bool key(string_t& name) override
    {
        if (depth_ != followed_)
            return true;
        next_ = Next::ignored;
        const int level = followed_ - entryDepth_;
        if (level < 0) {
            // Around the entry: only the top level's "records" leads to it. A later "records"
            // replaces the earlier one whole, even with no entry.
            if (followed_ == 1 && name == "records") {
                entry_ = {};
                hasFields_ = false;
                next_ = Next::records;
            }
        } else if (level == entryLevel) {
            keyOfEntry(name);
        } else if (level == fieldsLevel && inModified_) {
            if (name == "timestamp")
                next_ = Next::timestamp;
        } else if (level == fieldsLevel) {
            for (int field = 0; field < fieldCount; ++field) {
                if (name == fieldNames[field]) {
                    currentField_ = field;
                    fields_[field] = {};
                    next_ = Next::field;
                }
            }
        } else if (name == "type") {
            current().type = FieldReading::Type::disagrees; // unless a string says otherwise
            next_ = Next::type;
        } else if (name == "value") {
            current().text.reset();
            current().number.reset();
            next_ = Next::value;
        }
        return true;
    }

    bool start_object(std::size_t) override
    {
        if (!enter())
            return false;
        // Only an object in one of the places on the path is followed inside.
        if (depth_ - 1 != followed_)
            return true;
        switch (next_) {
        case Next::document:
        case Next::entry:
            break;
        case Next::fields:
            hasFields_ = true;
            break;
        case Next::field:
            current().isObject = true;
            break;
        case Next::modified:
            inModified_ = true;
            break;
        default:
            return true;
        }
        followed_ = depth_;
        next_ = Next::ignored;
        return true;
    }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override
    {
        if (!enter())
            return false;
        if (depth_ - 1 == followed_ && next_ == Next::records) {
            followed_ = depth_;
            next_ = Next::entry; // the first element, and only that
        }
        return true;
    }
    bool end_array() override { return leave(); }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override
    {
        std::string_view message = error.what();
        // "[json.exception.parse_error.101] parse error at line 1, ..." without the tag.
        if (message.starts_with('[')) {
            const std::size_t tagEnd = message.find("] ");
            if (tagEnd != std::string_view::npos)
                message.remove_prefix(tagEnd + 2);
        }
        failure = name_ + " is not valid JSON: " + shortened(message);
        return false;
    }

private:
    // What the next value at the followed depth is to the entry.
    enum class Next {
        document,
        ignored,
        records,
        entry,
        fields,
        field,
        type,
        value,
        entryText,
        retryAfter,
        modified,
        timestamp
    };

    // The levels of the containers inside the entry, counted from the entry.
    static constexpr int entryLevel = 0;
    static constexpr int fieldsLevel = 1;

    enum { kindField, nonceField, issuedAtField, fieldCount };
    static constexpr const char* fieldNames[fieldCount] = {"kind", "nonce", "issuedAt"};
    static std::string_view wantedType(int field)
    {
        return field == issuedAtField ? "TIMESTAMP" : "STRING";
    }
    static constexpr const char* textNames[RecordEntry::textCount] = {"serverErrorCode", "reason",
                                                                      "redirectURL"};

    void keyOfEntry(std::string_view name)
    {
        if (name == "fields") {
            hasFields_ = false;
            fields_ = {};
            next_ = Next::fields;
        } else if (name == "retryAfter") {
            entry_.retryAfter.reset();
            next_ = Next::retryAfter;
        } else if (name == "modified") {
            entry_.modifiedAt.reset();
            next_ = Next::modified;
        }
        for (int text = 0; text < RecordEntry::textCount; ++text) {
            if (name == textNames[text]) {
                currentText_ = text;
                entry_.texts[text].reset();
                next_ = Next::entryText;
            }
        }
    }

    static bool counts(const FieldReading& field)
    {
        return field.isObject && field.type != FieldReading::Type::disagrees;
    }
    FieldReading& current() { return fields_[currentField_]; }

    // A value that is neither a string nor a container: only a number counts, as a field's
    // "value" or the entry's "retryAfter".
    bool scalar(std::optional<double> number = std::nullopt)
    {
        if (depth_ != followed_)
            return true;
        if (next_ == Next::value)
            current().number = number;
        else if (next_ == Next::retryAfter)
            entry_.retryAfter = number;
        else if (next_ == Next::timestamp && number && std::isfinite(*number))
            entry_.modifiedAt = *number / 1000.0; // milliseconds since the epoch
        next_ = Next::ignored;
        return true;
    }

    bool enter()
    {
        if (++depth_ <= maxRecordJsonDepth)
            return true;
        failure = name_ + " nests deeper than " + std::to_string(maxRecordJsonDepth) + " levels";
        return false;
    }
    bool leave()
    {
        if (depth_ == followed_ && followed_ - entryDepth_ == fieldsLevel)
            inModified_ = false;
        if (depth_ == followed_)
            --followed_;
        --depth_;
        next_ = Next::ignored;
        return true;
    }

    const int entryDepth_;
    const std::string name_;
    int depth_ = 0;
    int followed_ = 0; // the depth of the innermost container on the path
    Next next_ = Next::document;
    int currentField_ = kindField;
    int currentText_ = 0;
    bool hasFields_ = false;
    bool inModified_ = false; // following "modified", not "fields"
    std::array<FieldReading, fieldCount> fields_{};
    RecordEntry entry_;
};

} // namespace

std::string shortened(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return std::string(text);
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut)) + "…";
}

posix::Result<RecordEntry> readRecordEntry(std::string_view text, RecordPlace place,
                                           std::string_view name)
{
    if (text.size() > maxRecordJsonSize)
        return posix::Failure{std::string(name) + " is larger than 64 KiB"};
    EntryReader reader(place, name);
    if (!json::sax_parse(text.begin(), text.end(), &reader))
        return posix::Failure{reader.failure.empty() ? std::string(name) + " is not valid JSON"
                                                     : reader.failure};
    return reader.entry();
}

posix::Result<CommandRecord> parseCommandRecordFile(std::string_view bytes)
{
    constexpr std::string_view name = "command.json";
    posix::Result<RecordEntry> entry = readRecordEntry(bytes, RecordPlace::wholeText, name);
    if (!entry)
        return entry.failure();
    if (!entry->record)
        return posix::Failure{std::string(name) + " has no \"fields\" object"};
    return std::move(*entry->record);
}

std::string commandRecordJson(std::string_view kind, std::string_view nonce,
                              std::int64_t issuedAtMilliseconds, std::string_view recordType)
{
    // In the order the reader's comment shows, so that records are easy to compare by eye.
    const auto field = [](auto value, std::string_view type) {
        return nlohmann::ordered_json{{"value", value}, {"type", type}};
    };
    nlohmann::ordered_json record{{"recordName", "command"}};
    if (!recordType.empty())
        record["recordType"] = recordType;
    record["fields"] = {{"kind", field(kind, "STRING")},
                        {"nonce", field(nonce, "STRING")},
                        {"issuedAt", field(issuedAtMilliseconds, "TIMESTAMP")}};
    return record.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace drovix
