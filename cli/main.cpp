// lumaro-cli: the command-line form of lumaro.
//   lumaro-cli --stdout [--no-optimize] [--strip-exif] FILE
// writes the result to standard output (the source bytes when the result would
// not be smaller); on failure the engine's message goes to standard error.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "JpegPeel.h"

using namespace lumaro;

static int Usage() {
    std::cerr << "usage: lumaro-cli --stdout [--no-optimize] [--strip-exif] FILE\n";
    return 2;
}

int main(int argc, char** argv) {
    bool toStdout = false, optimize = true, stripExif = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--stdout") toStdout = true;
        else if (a == "--no-optimize") optimize = false;
        else if (a == "--strip-exif") stripExif = true;
        else if (!a.empty() && a[0] == '-') return Usage();
        else if (path.empty()) path = a;
        else return Usage();
    }
    if (!toStdout || path.empty()) return Usage();

    std::ifstream f(path, std::ios::binary);
    if (!f) { std::cerr << path << ": cannot be read\n"; return 1; }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    TMemoryStream in(std::move(bytes)), out;

    TJpegPeel peel;
    peel.OptimizeCode = optimize;
    peel.RemoveExif = stripExif;
    std::string message;
    peel.OnError = [&](const std::string& text, int) { if (message.empty()) message = text; };
    if (!peel.Process(in, out)) {
        std::cerr << path << ": " << (message.empty() ? "処理を中止しました。" : message) << "\n";
        return 1;
    }
    const TMemoryStream& result = out.Size() < in.Size() ? out : in;
    std::fwrite(result.Memory(), 1, result.Size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
