#include "HuffmanBuilder.h"

#include <algorithm>

namespace lumaro {

std::int32_t FindMinNode(const std::vector<THuffNode>& list) {
    std::int32_t best = -1;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!list[i].Active) continue;
        if (best < 0 || list[i].Weight < list[best].Weight) best = static_cast<std::int32_t>(i);
    }
    return best;
}

std::int32_t CompareNodes(const THuffNode& a, const THuffNode& b) {
    if (a.Weight > b.Weight) return -1;
    if (a.Weight == b.Weight) {
        if (a.SymbolValue > b.SymbolValue) return -1;
        if (a.SymbolValue == b.SymbolValue) return 0;
    }
    return 1;
}

// Leaves get their distance from the root minus one; the root stands at -1,
// so a lone leaf (its own root) gets 0 and thereby a code of length 1.
static void AssignDepth(std::vector<THuffNode>& list, std::int32_t depth, std::int32_t index) {
    // Explicit stack: a degenerate tree can be as deep as it has leaves.
    std::vector<std::pair<std::int32_t, std::int32_t>> stack{{index, depth}};
    while (!stack.empty()) {
        auto [i, d] = stack.back();
        stack.pop_back();
        THuffNode& node = list[i];
        if (node.Left < 0) {
            node.Depth = std::max(d, 0);
        } else {
            stack.push_back({node.Right, d + 1});
            stack.push_back({node.Left, d + 1});
        }
    }
}

void AssignCanonicalCodes(const std::int16_t huffBits[16], std::vector<std::int32_t>& codeLength,
                          std::vector<std::int32_t>& code) {
    codeLength.clear();
    code.clear();
    std::int32_t next = 0;
    for (int len = 1; len <= 16; ++len) {
        next <<= 1;
        for (int j = 0; j < huffBits[len - 1]; ++j) {
            codeLength.push_back(len);
            code.push_back(next++);
        }
    }
}

void MergeNodes(std::vector<THuffNode>& list) {
    // Huffman's algorithm: merge the two lightest active nodes until one is left.
    // Ties go to the earliest node in the list: leaves before merged nodes,
    // leaves in table order, older merged nodes before newer ones.
    // The node FindMinNode would pick is found without scanning the list: it
    // heads one of two queues. Leaves are taken in order of weight (table
    // order among equals); merged nodes are made in order of weight (each
    // is the sum of the two lightest left), so they are taken as they come.
    // On equal weights the leaf goes first: it stands earlier in the list.
    std::vector<std::int32_t> leafOrder(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) leafOrder[i] = static_cast<std::int32_t>(i);
    std::stable_sort(leafOrder.begin(), leafOrder.end(),
                     [&](std::int32_t a, std::int32_t b) { return list[a].Weight < list[b].Weight; });
    std::size_t nextLeaf = 0;
    std::size_t nextMerged = list.size();
    const auto takeLightest = [&]() -> std::int32_t {
        const bool leafLeft = nextLeaf < leafOrder.size();
        const bool mergedLeft = nextMerged < list.size();
        std::int32_t i;
        if (leafLeft && (!mergedLeft || list[leafOrder[nextLeaf]].Weight <= list[nextMerged].Weight))
            i = leafOrder[nextLeaf++];
        else if (mergedLeft)
            i = static_cast<std::int32_t>(nextMerged++);
        else
            return -1;
        list[i].Active = false;
        return i;
    };
    for (;;) {
        const std::int32_t a = takeLightest();
        if (a < 0) break;
        const std::int32_t b = takeLightest();
        if (b < 0) break;  // a was the root
        THuffNode merged;
        merged.Left = a;
        merged.Right = b;
        merged.Weight = list[a].Weight + list[b].Weight;
        list.push_back(merged);
    }
}

TOptimalTable BuildOptimalTable(const std::vector<TSymbolCount>& counts) {
    TOptimalTable table;
    std::vector<THuffNode> list;
    list.reserve(counts.size() * 2);
    for (const TSymbolCount& c : counts) {
        if (c.Count <= 0) continue;
        THuffNode leaf;
        leaf.SymbolValue = c.Symbol;
        leaf.Weight = c.Count;
        list.push_back(leaf);
    }
    const std::int32_t n = static_cast<std::int32_t>(list.size());
    if (n == 0) return table;

    MergeNodes(list);
    AssignDepth(list, -1, static_cast<std::int32_t>(list.size()) - 1);

    // Histogram of code lengths; everything deeper than 16 counts as 16 for now.
    std::int16_t lengthCount[16] = {};
    for (const THuffNode& node : list)
        if (node.Left < 0) ++lengthCount[std::min(node.Depth, 15)];

    // Fitting into 16 bits. In units of 2^-17 of the code space, a leaf keeps
    // length L only if the space still free could hold every leaf not yet
    // placed at length 16 and leave two 16-bit code words (the all-ones ones)
    // unused; otherwise it moves one length down.
    std::int32_t slack = 131070 - n;
    std::int32_t remaining = n;
    for (int i = 0; i < 15; ++i) {
        table.HuffBits[i] = 0;
        const int here = lengthCount[i];
        const std::int32_t w = (1 << (16 - i)) - 1;
        for (int j = 0; j < here; ++j) {
            if (slack - w < remaining) {
                ++lengthCount[i + 1];
            } else {
                slack -= w;
                ++table.HuffBits[i];
                --remaining;
            }
        }
    }
    table.HuffBits[15] = lengthCount[15];

    // Symbol order: most used first, the larger symbol first among equals.
    std::vector<const THuffNode*> leaves;
    leaves.reserve(n);
    for (const THuffNode& node : list)
        if (node.Left < 0) leaves.push_back(&node);
    std::stable_sort(leaves.begin(), leaves.end(),
                     [](const THuffNode* a, const THuffNode* b) { return CompareNodes(*a, *b) < 0; });
    table.Symbol.reserve(n);
    for (const THuffNode* leaf : leaves) table.Symbol.push_back(leaf->SymbolValue);

    AssignCanonicalCodes(table.HuffBits, table.CodeLength, table.Code);
    return table;
}

} // namespace lumaro
