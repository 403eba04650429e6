// One table of the configuration file, read key by key. Every key asked for is
// remembered, whether the file holds it or not; whatever else the table holds (a typo, a
// key of another section) is then refused by name, with the nearest key the table knows.
// So the keys a section accepts are exactly the keys its reader reads: no second list to
// keep in step.
#pragma once

#include <toml++/toml.h>

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace talkhub_server {

class TableReader {
public:
    // `where` names the table in messages ("server", "account"); `file` is the file's path.
    TableReader(const toml::table* table, std::string where, std::string file);

    // A [section] of this table, empty when the file has none. It lives as long as this
    // reader, which checks its keys too.
    TableReader& section(const std::string& key);
    // The [[key]] tables of this table, in order; they live as long as this reader.
    std::vector<std::reference_wrapper<TableReader>> tables(const std::string& key);

    bool has(const std::string& key);
    int64_t integer(const std::string& key, int64_t fallback, int64_t lowest, int64_t highest);
    std::string text(const std::string& key, const std::string& fallback);
    std::optional<bool> flag(const std::string& key);
    // Strings only; nothing when the key is missing.
    std::vector<std::string> texts(const std::string& key);

    // Refuses the first key of the table that was never asked for; then the same for every
    // section and table read from it.
    void refuseUnknownKeys() const;

    [[noreturn]] void fail(const std::string& what) const;
    const std::string& file() const { return file_; }

private:
    const toml::node* node(const std::string& key);
    std::string name(const std::string& key) const { return where_ + "." + key; }

    const toml::table* table_;
    std::string where_;
    std::string file_;
    std::set<std::string> asked_;
    // Stable addresses: the sections handed out are read after later ones are added.
    std::list<TableReader> read_;
};

// The known key nearest to `key` by edit distance (the first of equals).
std::string nearestKey(const std::string& key, const std::set<std::string>& known);

}  // namespace talkhub_server
