#pragma once
// Optimal Huffman code construction for one table: code lengths from
// Huffman's algorithm over the symbol counts, fitted into 16 bits so that the
// all-ones code words stay free, symbols ordered from the most to the least
// used, and the canonical codes.
#include <cstdint>
#include <vector>

namespace lumaro {

struct THuffNode {
    std::int32_t SymbolValue = 0;  // leaf: its symbol; merged node: 0
    std::int32_t Weight = 0;       // leaf: its count; merged: sum of the children
    bool Active = true;            // still waiting to be merged
    std::int32_t Depth = 0;        // leaves: code length minus one
    std::int32_t Left = -1;        // index of the first child; -1 in a leaf
    std::int32_t Right = -1;
};

// One symbol of the table with its use count, in the order the leaves are made.
struct TSymbolCount {
    std::int32_t Symbol;
    std::int32_t Count;
};

struct TOptimalTable {
    std::int16_t HuffBits[16] = {};          // number of codes of each length 1..16
    std::vector<std::int32_t> Symbol;        // HUFFVAL: most used first
    std::vector<std::int32_t> CodeLength;    // per entry, canonical order
    std::vector<std::int32_t> Code;          // per entry, right-aligned
};

// Index of the active node of smallest weight, the earliest among equals; -1 if none.
std::int32_t FindMinNode(const std::vector<THuffNode>& list);
// Sort order: -1 when A goes first (heavier, or equally heavy with the larger symbol).
std::int32_t CompareNodes(const THuffNode& a, const THuffNode& b);

// Huffman's algorithm over a list of leaves: appends the merged nodes, the
// root last, each made of the two active nodes FindMinNode would pick in
// turn, and leaves every node inactive.
void MergeNodes(std::vector<THuffNode>& list);

// Builds the table from the counts. Entries with a count of 0 or less are left
// out; at least one count must be positive (otherwise the table is empty).
TOptimalTable BuildOptimalTable(const std::vector<TSymbolCount>& counts);

// Canonical code assignment: codes of each length in ascending order.
void AssignCanonicalCodes(const std::int16_t huffBits[16], std::vector<std::int32_t>& codeLength,
                          std::vector<std::int32_t>& code);

} // namespace lumaro
