// Name/value lists of a request: headers, accepted media types, page and
// template variables, posted form fields.  Newest first.  A lookup finds the
// longest name that is a case-insensitive prefix of the key, so a template
// can look up the text that follows a "$" ("referer?[...]" finds referer).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qv {

class VarList {
public:
    struct Entry {
        std::string name;
        std::string value;
        int32_t number = 0;
        int32_t duplicates = 0;  // how many later entries took this name with a suffix
    };

    // Adds to the front.  A name the list already holds (as found by
    // lookup, and equal to it without regard to case) is stored as
    // "<name>_<n>", n counting that name's duplicates from 1.
    void add(std::string_view name, std::string_view value, int32_t number = 0);

    // The entry with the longest name that prefixes the key (case-
    // insensitively), nearest the front among equals; a key starting with
    // "$" finds the fixed entry whose name and value are "$".
    const Entry* lookup(std::string_view key) const;
    std::optional<std::string_view> value(std::string_view key) const;

    void clear() {
        entries_.clear();
        byName_.clear();
    }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    // Entries newest first.
    template <typename F>
    void forEach(F f) const {
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) f(*it);
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t bestIndex(std::string_view key) const;

    std::vector<Entry> entries_;  // oldest first, so adding is cheap
    // Each stored name, lower-cased, to its newest entry: adding looks up
    // duplicates here instead of scanning the list, so a request with many
    // headers or form fields costs linear time.
    std::unordered_map<std::string, std::size_t> byName_;
};

}  // namespace qv
