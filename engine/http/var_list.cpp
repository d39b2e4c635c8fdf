#include "engine/http/var_list.h"

#include "engine/log/strings.h"

namespace qv {

void VarList::add(std::string_view name, std::string_view value, int32_t number) {
    std::string stored(name);
    if (auto existing = byName_.find(lowerCase(stored)); existing != byName_.end())
        stored += "_" + std::to_string(++entries_[existing->second].duplicates);
    byName_[lowerCase(stored)] = entries_.size();
    entries_.push_back(Entry{std::move(stored), std::string(value), number, 0});
}

std::size_t VarList::bestIndex(std::string_view key) const {
    std::size_t best = kNone;
    for (std::size_t i = entries_.size(); i-- > 0;) {
        const std::string& name = entries_[i].name;
        if (startsWithNoCase(key, name) && (best == kNone || name.size() > entries_[best].name.size())) best = i;
    }
    return best;
}

const VarList::Entry* VarList::lookup(std::string_view key) const {
    static const Entry dollar{"$", "$", 0, 0};
    if (!key.empty() && key[0] == '$') return &dollar;
    std::size_t best = bestIndex(key);
    return best == kNone ? nullptr : &entries_[best];
}

std::optional<std::string_view> VarList::value(std::string_view key) const {
    const Entry* e = lookup(key);
    if (!e) return std::nullopt;
    return std::string_view(e->value);
}

}  // namespace qv
