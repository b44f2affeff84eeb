#include "TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include <unistd.h>

namespace lumaro::test {

TTempFolder::TTempFolder() {
    std::string tmpl = (fs::temp_directory_path() / "lumaro-batch-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    Root = tmpl;
}

TTempFolder::~TTempFolder() {
    std::error_code ec;
    fs::remove_all(Root, ec);
}

void WriteBytes(const std::string& Path, const std::vector<std::uint8_t>& Bytes) {
    fs::create_directories(fs::path(Path).parent_path());
    std::ofstream f(Path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + Path);
}

std::vector<std::uint8_t> ReadBytes(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + Path);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> SampleJpeg(int Variant, bool Optimized) {
    static std::map<std::pair<int, bool>, std::vector<std::uint8_t>> cache;
    if (auto it = cache.find({Variant, Optimized}); it != cache.end()) return it->second;

    TTempFolder tmp;
    const int w = 64 + 8 * Variant, h = 48;
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    std::uint32_t seed = 12345u + static_cast<std::uint32_t>(Variant) * 7919u;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            int noise = static_cast<int>((seed >> 16) & 31);
            ppm.push_back(static_cast<char>((x * 4 + noise) & 255));
            ppm.push_back(static_cast<char>((y * 5 + Variant * 40) & 255));
            ppm.push_back(static_cast<char>(((x + y) * 3 + noise) & 255));
        }
    const std::string in = tmp / "in.ppm", out = tmp / "out.jpg";
    WriteBytes(in, std::vector<std::uint8_t>(ppm.begin(), ppm.end()));
    const std::string opt = Optimized ? "-optimize " : "";
    const std::string cmd = "cjpeg " + opt + "-quality 85 -outfile '" + out + "' '" + in + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cjpeg failed");
    return cache[{Variant, Optimized}] = ReadBytes(out);
}

std::vector<std::uint8_t> PutJpeg(const std::string& Path, int Variant) {
    auto bytes = SampleJpeg(Variant);
    WriteBytes(Path, bytes);
    return bytes;
}

} // namespace lumaro::test
