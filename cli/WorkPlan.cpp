#include "WorkPlan.h"

#include <algorithm>
#include <map>
#include <numeric>

#include "Paths.h"
#include "Settings.h"

namespace lumaro {

namespace {

std::string Folded(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

class TDisjointSets {
public:
    explicit TDisjointSets(std::size_t n) : Parent(n) { std::iota(Parent.begin(), Parent.end(), 0); }
    std::size_t Find(std::size_t x) {
        while (Parent[x] != x) x = Parent[x] = Parent[Parent[x]];
        return x;
    }
    // The smaller index stays the root, so a unit is known by its first file.
    void Join(std::size_t a, std::size_t b) {
        a = Find(a), b = Find(b);
        if (a != b) Parent[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::size_t> Parent;
};

} // namespace

std::string TargetPathFor(const std::string& Source, std::uint8_t Mode, const std::string& FixedResultFolder) {
    switch (Mode) {
    case sfmOverwrite:
    case sfmOverwriteWithBak:
        return Source;
    case sfmFixedFolder:
    case sfmAskEachTime:
        return FixedResultFolder + ExtractFileName(Source);
    default:
        return ExtractFilePath(Source) + "result_lumaro" + kPathSeparator + ExtractFileName(Source);
    }
}

std::vector<std::vector<std::size_t>> PlanUnits(const std::vector<std::string>& Paths, std::uint8_t Mode,
                                                const std::string& FixedResultFolder) {
    TDisjointSets sets(Paths.size());
    std::map<std::string, std::size_t> owner;  // key -> first file that claimed it
    auto claim = [&](const std::string& key, std::size_t i) {
        auto [it, fresh] = owner.emplace(key, i);
        if (!fresh) sets.Join(it->second, i);
    };
    for (std::size_t i = 0; i < Paths.size(); ++i) {
        const std::string& source = Paths[i];
        claim(Folded(source), i);
        claim(Folded(TargetPathFor(source, Mode, FixedResultFolder)), i);
        if (Mode == sfmOverwriteWithBak) {
            const std::string name = ExtractFileName(source);
            const std::string stem = name.substr(0, name.find('.'));
            claim("\n.bak\n" + Folded(ExtractFilePath(source) + stem), i);
        }
    }
    std::vector<std::vector<std::size_t>> units;
    std::map<std::size_t, std::size_t> unitOfRoot;
    for (std::size_t i = 0; i < Paths.size(); ++i) {
        auto [it, fresh] = unitOfRoot.emplace(sets.Find(i), units.size());
        if (fresh) units.emplace_back();
        units[it->second].push_back(i);
    }
    return units;
}

std::vector<std::size_t> DispatchOrder(const std::vector<std::vector<std::size_t>>& Units,
                                       const std::vector<std::int64_t>& FileBytes, bool AnyOrder) {
    std::vector<std::size_t> order(Units.size());
    std::iota(order.begin(), order.end(), 0);
    if (!AnyOrder) return order;
    std::vector<std::int64_t> bytes(Units.size(), 0);
    for (std::size_t u = 0; u < Units.size(); ++u)
        for (std::size_t f : Units[u]) bytes[u] += f < FileBytes.size() ? FileBytes[f] : 0;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return bytes[a] > bytes[b]; });
    return order;
}

} // namespace lumaro
