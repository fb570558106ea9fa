#include "tool/edit_plans.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/kevo_cli.h"
#include "container/kevo_container.h"
#include "edit/kevo_edit.h"

namespace {

// A table or a report named "-" is standard input, and is not closed.
class InputFile {
public:
    explicit InputFile(const char* path)
        : file_(std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "r"))
    {
    }
    ~InputFile()
    {
        if (file_ && file_ != stdin) {
            std::fclose(file_);
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    FILE* get() const { return file_; }

private:
    FILE* file_;
};

std::string atLine(size_t line, const std::string& why)
{
    return "line " + std::to_string(line) + ": " + why;
}

// The header row: "path", then selectors, none written like another.
std::string checkHeader(const kevo_tableRow& header, std::vector<kevo_selector>* selectors)
{
    if (header.cells.empty() || header.cells[0] != "path") {
        return atLine(header.line, "the first column must be 'path'");
    }
    for (size_t i = 1; i < header.cells.size(); ++i) {
        kevo_selector selector{};
        if (!kevo_parseSelector(header.cells[i], &selector)) {
            return atLine(header.line,
                          "not [STREAM/]ATOM, each a fourcc of one to four characters or #N: '" +
                              header.cells[i] + "'");
        }
        for (size_t j = 0; j < selectors->size(); ++j) {
            if (kevo_sameSelector((*selectors)[j], selector)) {
                return atLine(header.line, "'" + header.cells[j + 1] + "' and '" +
                                               header.cells[i] + "' name the same atom");
            }
        }
        selectors->push_back(selector);
    }
    return "";
}

std::string planRow(const kevo_tableRow& row, const std::vector<std::string>& columns,
                    kevo_filePlan* plan)
{
    if (row.cells.size() != columns.size()) {
        return atLine(row.line, std::to_string(row.cells.size()) + " cells where the header has " +
                                    std::to_string(columns.size()));
    }
    if (row.cells[0].empty()) {
        return atLine(row.line, "no path");
    }
    plan->path = row.cells[0];
    for (size_t i = 1; i < columns.size(); ++i) {
        const std::string& cell = row.cells[i];
        if (cell.empty()) {
            continue;
        }
        int64_t value = 0;
        if (kevo_parseWholeNumber(cell.c_str(), KEVO_VALUE_MIN, KEVO_VALUE_MAX, &value) !=
            kevo_numberForm::Whole) {
            return atLine(row.line,
                          "not a whole decimal number from -2147483648 to 4294967295: '" + cell +
                              "'");
        }
        plan->sets.emplace_back(columns[i], value);
    }
    return "";
}

const char* const kNotAReport = "not a report of kevo-edit --json: ";

// A value a report of kevo-edit holds: one an 'i' atom takes, as a signed
// number.
bool inRange(int64_t value)
{
    return value >= INT32_MIN && value <= INT32_MAX;
}

bool isText(const nlohmann::json& object, const char* key)
{
    return object.contains(key) && object[key].is_string();
}

bool isWhole(const nlohmann::json& object, const char* key)
{
    return object.contains(key) && object[key].is_number_integer();
}

// The path a report's object names, byte for byte: "pathBytes" where the
// path is not UTF-8.
bool reportedPath(const nlohmann::json& object, std::string* path)
{
    if (!isText(object, "pathBytes")) {
        if (!isText(object, "path") || object.contains("pathBytes")) {
            return false;
        }
        *path = object["path"].get<std::string>();
        return true;
    }
    const std::string hex = object["pathBytes"].get<std::string>();
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    path->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = i + 1 < hex.size() ? digit(hex[i + 1]) : -1;
        if (high < 0 || low < 0) {
            return false;
        }
        *path += static_cast<char>(high * 16 + low);
    }
    return true;
}

// One object of the report; false when it is not as kevo-edit writes one.
bool planUndo(const nlohmann::json& object, std::vector<kevo_filePlan>* plans)
{
    static const char* const kStatuses[] = {"edited", "unchanged", "skipped", "would-edit",
                                            "failed"};
    kevo_filePlan plan;
    if (!object.is_object() || !isText(object, "status") || !object.contains("changes") ||
        !object["changes"].is_array() || !reportedPath(object, &plan.path)) {
        return false;
    }
    const std::string status = object["status"].get<std::string>();
    bool known = false;
    for (const char* name : kStatuses) {
        known = known || status == name;
    }
    if (!known) {
        return false;
    }
    for (const nlohmann::json& change : object["changes"]) {
        if (!change.is_object() || !isText(change, "selector") || !isWhole(change, "old") ||
            !isWhole(change, "new")) {
            return false;
        }
        const std::string selector = change["selector"].get<std::string>();
        const int64_t before = change["old"].get<int64_t>();
        const int64_t after = change["new"].get<int64_t>();
        kevo_selector parsed{};
        if (!kevo_parseSelector(selector, &parsed) || !inRange(before) || !inRange(after)) {
            return false;
        }
        if (before != after) {
            plan.conditions.emplace_back(selector, after);
            plan.sets.emplace_back(selector, before);
        }
    }
    // Only an edit wrote anything; every other file is left alone.
    if (status == "edited" && !plan.sets.empty()) {
        plans->push_back(std::move(plan));
    }
    return true;
}

}  // namespace

std::string kevo_planTable(const char* path, std::vector<kevo_filePlan>* plans)
{
    const InputFile table(path);
    if (!table.get()) {
        return std::strerror(errno);
    }
    std::vector<kevo_tableRow> rows;
    const std::string unread = kevo_readTable(table.get(), &rows);
    if (!unread.empty()) {
        return unread;
    }
    if (rows.empty()) {
        return "no header row";
    }
    std::vector<kevo_selector> selectors;
    const std::string badHeader = checkHeader(rows[0], &selectors);
    if (!badHeader.empty()) {
        return badHeader;
    }
    // Gathered apart: a table refused at its last row plans nothing.
    std::vector<kevo_filePlan> planned;
    std::unordered_map<std::string, size_t> lineOf;
    for (size_t r = 1; r < rows.size(); ++r) {
        kevo_filePlan plan;
        const std::string badRow = planRow(rows[r], rows[0].cells, &plan);
        if (!badRow.empty()) {
            return badRow;
        }
        const auto [earlier, added] = lineOf.emplace(plan.path, rows[r].line);
        if (!added) {
            return atLine(rows[r].line, "'" + kevo_linePath(plan.path) + "' given twice (line " +
                                            std::to_string(earlier->second) + ")");
        }
        planned.push_back(std::move(plan));
    }
    plans->insert(plans->end(), planned.begin(), planned.end());
    return "";
}

std::string kevo_planRevert(const char* path, std::vector<kevo_filePlan>* plans)
{
    const InputFile report(path);
    if (!report.get()) {
        return std::strerror(errno);
    }
    // No exceptions: a report that does not parse is a document discarded.
    const nlohmann::json document = nlohmann::json::parse(report.get(), nullptr, false);
    if (document.is_discarded() || !document.is_array()) {
        return kNotAReport + std::string("not a JSON array");
    }
    std::vector<kevo_filePlan> planned;
    for (size_t i = 0; i < document.size(); ++i) {
        if (!planUndo(document[i], &planned)) {
            return kNotAReport + std::string("object ") + std::to_string(i + 1) +
                   " is not one of its files";
        }
    }
    plans->insert(plans->end(), planned.begin(), planned.end());
    return "";
}
