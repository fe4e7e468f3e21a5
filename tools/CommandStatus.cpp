// What the command waiting in the cloud means now, in the agent's own terms: only "start" and
// "restart" are its, and only while issued within its window of the agent's clock.
#include "CommandStatus.h"

#include "LogText.h"
#include "RescueWatcher.h"
#include "platform/TextEquality.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace drovix::writer {

namespace {

// Years 0 to 9999: a record may carry any number, and only these make an ISO 8601 date.
constexpr double calendarStart = -62167219200.0, calendarEnd = 253402300800.0;

std::string localTime(Instant at)
{
    if (!(at >= calendarStart && at < calendarEnd))
        return "an instant beyond the calendar";
    const time_t seconds = static_cast<time_t>(std::floor(at));
    tm local{};
    char year[8], text[32];
    // A year of ISO 8601 has four digits, the first centuries' too, which %Y leaves out.
    if (!::localtime_r(&seconds, &local) || local.tm_year < -1900 || local.tm_year > 8099 ||
        std::snprintf(year, sizeof year, "%04d", local.tm_year + 1900) != 4 ||
        std::strftime(text, sizeof text, "-%m-%dT%H:%M:%S%z", &local) == 0)
        return "an instant beyond the calendar";
    const std::string_view iso = text;
    return year + std::string(iso.substr(0, iso.size() - 2)) + ":" +
           std::string(iso.substr(iso.size() - 2)); // +0100 as +01:00
}

// "47 s ago" (a window's worth in seconds), "3 min ago", "5 h ago", "2 days ago"; "in ..." ahead.
std::string ageText(double age)
{
    const double seconds = std::fabs(age);
    const auto [count, unit] = seconds < 180      ? std::pair{seconds, " s"}
                               : seconds < 7200   ? std::pair{seconds / 60, " min"}
                               : seconds < 172800 ? std::pair{seconds / 3600, " h"}
                                                  : std::pair{seconds / 86400, " days"};
    // Seconds as the agent counts them; longer spans to the nearest unit.
    const std::string text =
        wholeSecondsText(seconds < 180 ? count : std::round(count)).value_or("countless") + unit;
    return age < 0 ? "in " + text : text + " ago";
}

} // namespace

std::string verdictOf(const CommandRecord& record, Instant now)
{
    constexpr double window = RescueWatcher::commandWindow;
    if (!textsEqual(*record.kind, "start") && !textsEqual(*record.kind, "restart"))
        return "a command for Drovix itself: DrovixRescue leaves it alone";
    if (!record.issuedAt)
        return "it carries no readable issue time: no Mac will act on it";
    const double age = now - *record.issuedAt;
    if (std::fabs(age) <= window)
        return "fresh for another " + *wholeSecondsText(window - age) +
               " s: a Mac running DrovixRescue acts on it within about 10 s, or 50 s while "
               "Drovix runs";
    if (age > window)
        return "issued more than 120 s ago: no Mac will act on it";
    return "dated more than 120 s ahead of this clock: no Mac will act on it for another " +
           wholeSecondsText(-age - window).value_or("countless") + " s";
}

std::string describeCommand(const std::optional<CommandRecord>& record, Instant now)
{
    if (!record)
        return "no command yet\n";
    if (!record->kind || !record->nonce)
        return "the command record has no kind or nonce\n";
    std::string text =
        escapedForLog(*record->kind) + ", nonce " + escapedForLog(*record->nonce) + "\n";
    if (record->issuedAt)
        text += "issued " + localTime(*record->issuedAt) + ", " + ageText(now - *record->issuedAt) +
                "\n";
    return text + verdictOf(*record, now) + "\n";
}

} // namespace drovix::writer
