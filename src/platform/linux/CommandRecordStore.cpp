// Reading the command record file with nlohmann/json, in one pass and without exceptions.
#include "platform/linux/CommandRecordStore.h"

#include "platform/linux/Services.h"

#include <nlohmann/json.hpp>
#include <stdlib.h>

#include <array>
#include <cmath>

namespace drovix {

namespace {

using nlohmann::json;

const std::string fileName = "command.json";

// The parser quotes the token it stopped at, which may be as long as the file: the message is cut
// to a length fit for a log line, at a character boundary.
std::string shortened(std::string_view message)
{
    constexpr std::size_t limit = 200;
    if (message.size() <= limit)
        return std::string(message);
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(message.substr(0, cut)) + "…";
}

// One of the record's fields as the text goes by: {"type": ..., "value": ...}, where only a type
// equal to the wanted one and a value of the wanted kind count.
struct FieldReading {
    bool isObject = false;
    bool typeAgrees = false;
    std::optional<std::string> text;
    std::optional<double> number;
};

// One pass over the text that builds no document: it keeps only what the record needs, on the
// path top-level object -> "fields" object -> field object -> "type" and "value", and passes over
// everything else. It stops at the first syntax error, keeping the parser's message, and at
// nesting deeper than the limit. A later duplicate of a key replaces the earlier one whole.
class RecordReader final : public nlohmann::json_sax<json> {
public:
    std::string failure;

    // The record read, or absent when the top level is no object with an object "fields".
    std::optional<CommandRecord> record() const
    {
        if (!hasFields_)
            return std::nullopt;
        CommandRecord record;
        if (const FieldReading& kind = fields_[kindField]; agrees(kind) && kind.text)
            record.kind = kind.text;
        if (const FieldReading& nonce = fields_[nonceField]; agrees(nonce) && nonce.text)
            record.nonce = nonce.text;
        if (const FieldReading& issuedAt = fields_[issuedAtField];
            agrees(issuedAt) && issuedAt.number && std::isfinite(*issuedAt.number))
            record.issuedAt = *issuedAt.number / 1000.0; // milliseconds since the epoch
        return record;
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
            current().typeAgrees = value == wantedType(currentField_);
        else if (next_ == Next::value)
            current().text = value;
        return true;
    }

    bool key(string_t& name) override
    {
        if (depth_ != followed_)
            return true;
        next_ = Next::ignored;
        if (followed_ == topLevel && name == "fields") {
            // A later "fields" replaces the earlier one whole, even with no object.
            hasFields_ = false;
            fields_ = {};
            next_ = Next::fields;
        } else if (followed_ == fieldsLevel) {
            for (int field = 0; field < fieldCount; ++field) {
                if (name == fieldNames[field]) {
                    // A later field of the same name replaces the earlier one whole.
                    currentField_ = field;
                    fields_[field] = {};
                    next_ = Next::field;
                    break;
                }
            }
        } else if (followed_ == fieldLevel && name == "type") {
            current().typeAgrees = false;
            next_ = Next::type;
        } else if (followed_ == fieldLevel && name == "value") {
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
        // Only an object in one of the places on the record's path is followed inside.
        if (depth_ - 1 != followed_)
            return true;
        switch (next_) {
        case Next::document:
            break;
        case Next::fields:
            hasFields_ = true;
            break;
        case Next::field:
            current().isObject = true;
            break;
        case Next::ignored:
        case Next::type:
        case Next::value:
            return true;
        }
        followed_ = depth_;
        next_ = Next::ignored;
        return true;
    }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(); }
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
        failure = fileName + " is not valid JSON: " + shortened(message);
        return false;
    }

private:
    // What the next value at the followed depth is to the record.
    enum class Next { document, ignored, fields, field, type, value };

    // The depths of the containers on the record's path.
    static constexpr int topLevel = 1;
    static constexpr int fieldsLevel = 2;
    static constexpr int fieldLevel = 3;

    enum { kindField, nonceField, issuedAtField, fieldCount };
    static constexpr const char* fieldNames[fieldCount] = {"kind", "nonce", "issuedAt"};
    static std::string_view wantedType(int field)
    {
        return field == issuedAtField ? "TIMESTAMP" : "STRING";
    }

    bool agrees(const FieldReading& field) const { return field.isObject && field.typeAgrees; }
    FieldReading& current() { return fields_[currentField_]; }

    // A value that is neither a string nor a container: only a number counts, as a field's
    // "value".
    bool scalar(std::optional<double> number = std::nullopt)
    {
        if (depth_ == followed_ && next_ == Next::value)
            current().number = number;
        return true;
    }

    bool enter()
    {
        if (++depth_ <= maxCommandRecordDepth)
            return true;
        failure =
            fileName + " nests deeper than " + std::to_string(maxCommandRecordDepth) + " levels";
        return false;
    }
    bool leave()
    {
        if (depth_ == followed_)
            --followed_;
        --depth_;
        next_ = Next::ignored;
        return true;
    }

    int depth_ = 0;
    int followed_ = 0; // the depth of the innermost container on the record's path
    Next next_ = Next::document;
    int currentField_ = kindField;
    bool hasFields_ = false;
    std::array<FieldReading, fieldCount> fields_{};
};

} // namespace

posix::Result<CommandRecord> parseCommandRecordFile(std::string_view bytes)
{
    if (bytes.size() > maxCommandRecordFileSize)
        return posix::Failure{fileName + " is larger than 64 KiB"};

    RecordReader reader;
    if (!json::sax_parse(bytes.begin(), bytes.end(), &reader))
        return posix::Failure{reader.failure.empty() ? fileName + " is not valid JSON"
                                                     : reader.failure};
    std::optional<CommandRecord> record = reader.record();
    if (!record)
        return posix::Failure{fileName + " has no \"fields\" object"};
    return std::move(*record);
}

posix::Result<std::string> commandRecordPath(std::string_view containerIdentifier,
                                             const char* xdgDataHome, const char* home)
{
    std::string data;
    if (xdgDataHome && xdgDataHome[0] == '/')
        data = xdgDataHome;
    else if (home && home[0] == '/')
        data = std::string(home) + "/.local/share";
    else
        return posix::Failure{"no home folder to find the command record in"};
    while (data.ends_with('/'))
        data.pop_back();
    return data + "/cloud/" + std::string(containerIdentifier) + "/private/_defaultZone/" +
           fileName;
}

std::string commandRecordText(std::string_view kind, std::string_view nonce,
                              std::int64_t issuedAtMilliseconds)
{
    // In the order the reader's comment shows, so that records are easy to compare by eye.
    const auto field = [](auto value, std::string_view type) {
        return nlohmann::ordered_json{{"value", value}, {"type", type}};
    };
    const nlohmann::ordered_json record{
        {"recordName", "command"},
        {"fields",
         {{"kind", field(kind, "STRING")},
          {"nonce", field(nonce, "STRING")},
          {"issuedAt", field(issuedAtMilliseconds, "TIMESTAMP")}}},
    };
    return record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void CommandRecordFileStore::fetchCommandRecord(FetchCompletion completion)
{
    mainThread_.post(
        [path = path_, completion = std::move(completion)] { fetchNow(*path, completion); });
}

void CommandRecordFileStore::fetchNow(const posix::Result<std::string>& path,
                                      const FetchCompletion& completion)
{
    if (!path) {
        completion(std::nullopt, path.error());
        return;
    }
    const posix::Result<std::string> bytes =
        posix::readRegularFile(*path, maxCommandRecordFileSize);
    if (!bytes) {
        const int code = bytes.failure().code;
        if (code == ENOENT || code == ENOTDIR)
            completion(std::nullopt, std::nullopt);
        else
            completion(std::nullopt, *path + ": " + bytes.error());
        return;
    }
    posix::Result<CommandRecord> record = parseCommandRecordFile(*bytes);
    if (!record) {
        completion(std::nullopt, record.error());
        return;
    }
    completion(std::move(*record), std::nullopt);
}

std::unique_ptr<CommandRecordStore> openCommandContainer(MainThread& mainThread,
                                                         std::string_view containerIdentifier)
{
    return std::make_unique<CommandRecordFileStore>(
        mainThread,
        commandRecordPath(containerIdentifier, ::getenv("XDG_DATA_HOME"), ::getenv("HOME")));
}

} // namespace drovix
