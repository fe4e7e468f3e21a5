// Reading the command record file with nlohmann/json, without exceptions.
#include "platform/linux/CommandRecordFile.h"

#include <nlohmann/json.hpp>
#include <stdlib.h>

#include <cmath>

namespace drovix {

namespace {

using nlohmann::json;

const std::string fileName = "command.json";

// A first pass over the text that builds nothing: it stops at the first syntax error, keeping
// the parser's message, and at nesting deeper than the limit, so that the document built next
// is known to be shallow (its destructor and the tree walks recurse once per level).
class ShapeCheck final : public nlohmann::json_sax<json> {
public:
    std::string failure;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return enter(); }
    bool key(string_t&) override { return true; }
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
        failure = fileName + " is not valid JSON: " + std::string(shortened(message));
        return false;
    }

private:
    // The parser quotes the token it stopped at, which may be as long as the file: the message
    // is cut to a length fit for a log line, at a character boundary.
    static std::string shortened(std::string_view message)
    {
        constexpr std::size_t limit = 200;
        if (message.size() <= limit)
            return std::string(message);
        std::size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80)
            --cut;
        return std::string(message.substr(0, cut)) + "…";
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
        --depth_;
        return true;
    }

    int depth_ = 0;
};

// The field's value when it is an object {"type": type, "value": ...}; null otherwise.
const json* typedValue(const json& fields, const char* name, std::string_view type)
{
    const auto field = fields.find(name);
    if (field == fields.end() || !field->is_object())
        return nullptr;
    const auto fieldType = field->find("type");
    const auto value = field->find("value");
    if (fieldType == field->end() || value == field->end() || !fieldType->is_string() ||
        fieldType->get_ref<const std::string&>() != type)
        return nullptr;
    return &*value;
}

std::optional<std::string> stringField(const json& fields, const char* name)
{
    const json* value = typedValue(fields, name, "STRING");
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::optional<Instant> timestampField(const json& fields, const char* name)
{
    const json* value = typedValue(fields, name, "TIMESTAMP");
    if (!value || !value->is_number())
        return std::nullopt;
    const double milliseconds = value->get<double>();
    if (!std::isfinite(milliseconds))
        return std::nullopt;
    return milliseconds / 1000.0;
}

} // namespace

posix::Result<CommandRecord> parseCommandRecordFile(std::string_view bytes)
{
    if (bytes.size() > maxCommandRecordFileSize)
        return posix::Failure{fileName + " is larger than 64 KiB", 0};

    ShapeCheck check;
    if (!json::sax_parse(bytes.begin(), bytes.end(), &check))
        return posix::Failure{
            check.failure.empty() ? fileName + " is not valid JSON" : check.failure, 0};
    const json document = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (document.is_discarded())
        return posix::Failure{fileName + " is not valid JSON", 0};

    const json* fields = nullptr;
    if (document.is_object()) {
        const auto found = document.find("fields");
        if (found != document.end() && found->is_object())
            fields = &*found;
    }
    if (!fields)
        return posix::Failure{fileName + " has no \"fields\" object", 0};
    return CommandRecord{stringField(*fields, "kind"), stringField(*fields, "nonce"),
                         timestampField(*fields, "issuedAt")};
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
        return posix::Failure{"no home folder to find the command record in", 0};
    while (data.size() > 1 && data.ends_with('/'))
        data.pop_back();
    if (data == "/")
        data.clear();
    return data + "/cloud/" + std::string(containerIdentifier) + "/private/_defaultZone/" +
           fileName;
}

void CommandRecordFileStore::fetchCommandRecord(FetchCompletion completion)
{
    posix::runOnShortLivedThread(
        [path = path_, completion = std::move(completion)] { fetchNow(path, completion); });
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

std::unique_ptr<CommandRecordStore> openCommandContainer(std::string_view containerIdentifier)
{
    return std::make_unique<CommandRecordFileStore>(
        commandRecordPath(containerIdentifier, ::getenv("XDG_DATA_HOME"), ::getenv("HOME")));
}

} // namespace drovix
