#pragma once
// An independent reader of a JPEG file's quantised coefficients, built on the
// system's libjpeg. Two files that it reads cleanly with equal frames,
// quantisation tables and coefficients decode to the same pixels.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumaro::test {

struct TCoefComponent {
    int Id = 0, H = 0, V = 0;
    int WidthInBlocks = 0, HeightInBlocks = 0;
    std::vector<std::uint16_t> Quant;  // 64 entries, natural order
    std::vector<std::int16_t> Coef;    // WidthInBlocks x HeightInBlocks blocks of 64
};

struct TCoefImage {
    int Width = 0, Height = 0;
    std::vector<TCoefComponent> Components;
};

enum class TOracleRead {
    Clean,     // read without a single warning
    Warnings,  // read, but libjpeg had to paper over something
    Failed     // refused
};

// MaxBlocks guards the oracle's own memory: larger frames are reported Failed.
TOracleRead ReadCoefficients(const std::uint8_t* Data, std::size_t Size, TCoefImage& Image,
                             std::size_t MaxBlocks = std::size_t{1} << 22);

// Empty when equal, else a short description of the first difference.
std::string CompareCoefficients(const TCoefImage& A, const TCoefImage& B);

} // namespace lumaro::test
