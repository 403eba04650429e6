#include "config_reader.h"

#include <algorithm>
#include <stdexcept>

namespace talkhub_server {

TableReader::TableReader(const toml::table* table, std::string where, std::string file)
    : table_(table), where_(std::move(where)), file_(std::move(file)) {}

const toml::node* TableReader::node(const std::string& key) {
    asked_.insert(key);
    return table_ != nullptr ? table_->get(key) : nullptr;
}

void TableReader::fail(const std::string& what) const { throw std::runtime_error(file_ + ": " + what); }

TableReader& TableReader::section(const std::string& key) {
    const toml::node* found = node(key);
    if (found != nullptr && !found->is_table()) fail(key + " must be a [" + key + "] section");
    return read_.emplace_back(found != nullptr ? found->as_table() : nullptr, key, file_);
}

std::vector<std::reference_wrapper<TableReader>> TableReader::tables(const std::string& key) {
    const toml::node* found = node(key);
    if (found == nullptr) return {};
    const toml::array* array = found->as_array();
    if (array == nullptr || !array->is_array_of_tables()) fail(key + " must be [[" + key + "]] entries");
    std::vector<std::reference_wrapper<TableReader>> entries;
    for (const toml::node& entry : *array) entries.emplace_back(read_.emplace_back(entry.as_table(), key, file_));
    return entries;
}

bool TableReader::has(const std::string& key) { return node(key) != nullptr; }

int64_t TableReader::integer(const std::string& key, int64_t fallback, int64_t lowest, int64_t highest) {
    const toml::node* found = node(key);
    if (found == nullptr) return fallback;
    const std::optional<int64_t> value = found->value<int64_t>();
    if (!value || *value < lowest || *value > highest) {
        fail(name(key) + " must be an integer from " + std::to_string(lowest) + " to " + std::to_string(highest));
    }
    return *value;
}

std::string TableReader::text(const std::string& key, const std::string& fallback) {
    const toml::node* found = node(key);
    if (found == nullptr) return fallback;
    const std::optional<std::string> value = found->value<std::string>();
    if (!value) fail(name(key) + " must be a string");
    return *value;
}

std::optional<bool> TableReader::flag(const std::string& key) {
    const toml::node* found = node(key);
    if (found == nullptr) return std::nullopt;
    if (!found->is_boolean()) fail(name(key) + " must be true or false");
    return found->value_or(false);
}

std::vector<std::string> TableReader::texts(const std::string& key) {
    const toml::node* found = node(key);
    if (found == nullptr) return {};
    const toml::array* array = found->as_array();
    std::vector<std::string> values;
    if (array != nullptr) {
        for (const toml::node& item : *array) {
            const std::optional<std::string> value = item.value<std::string>();
            if (!value) break;
            values.push_back(*value);
        }
    }
    if (array == nullptr || values.size() != array->size()) fail(name(key) + " must be a list of strings");
    return values;
}

void TableReader::refuseUnknownKeys() const {
    if (table_ != nullptr) {
        for (const auto& [key, value] : *table_) {
            const std::string text(key.str());
            if (asked_.count(text) != 0) continue;
            const std::string in = where_.empty() ? "at the top" : "in [" + where_ + "]";
            fail("line " + std::to_string(key.source().begin.line) + ": unknown key " + text + " " + in +
                 "; did you mean " + nearestKey(text, asked_) + "?");
        }
    }
    for (const TableReader& inner : read_) inner.refuseUnknownKeys();
}

std::string nearestKey(const std::string& key, const std::set<std::string>& known) {
    std::string nearest;
    std::size_t best = SIZE_MAX;
    for (const std::string& candidate : known) {
        // Levenshtein distance, one row at a time.
        std::vector<std::size_t> row(candidate.size() + 1);
        for (std::size_t j = 0; j <= candidate.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= key.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= candidate.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (key[i - 1] == candidate[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row.back() < best) {
            best = row.back();
            nearest = candidate;
        }
    }
    return nearest;
}

}  // namespace talkhub_server
