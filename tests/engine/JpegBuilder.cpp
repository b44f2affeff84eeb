#include "JpegBuilder.h"

#include <map>
#include <stdexcept>

namespace testjpeg {

namespace {

struct BitWriter {
    Bytes& Out;
    std::uint32_t Acc = 0;
    int N = 0;
    void Put(std::uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            Acc = (Acc << 1) | ((v >> i) & 1);
            if (++N == 8) {
                Out.push_back(static_cast<std::uint8_t>(Acc));
                if ((Acc & 0xFF) == 0xFF) Out.push_back(0);
                Acc = N = 0;
            }
        }
    }
    void PadWithOnes() {
        while (N) Put(1, 1);
    }
};

struct Codes {
    std::map<int, std::pair<std::uint32_t, int>> BySymbol;
    explicit Codes(const Table& t) {
        std::uint32_t code = 0;
        std::size_t k = 0;
        for (int len = 1; len <= 16; ++len) {
            for (int i = 0; i < t.Bits[len - 1]; ++i, ++k, ++code)
                if (!BySymbol.count(t.Vals[k])) BySymbol[t.Vals[k]] = {code, len};
            code <<= 1;
        }
    }
    void Write(BitWriter& w, int symbol) const {
        auto it = BySymbol.find(symbol);
        if (it == BySymbol.end()) throw std::runtime_error("test table lacks a symbol");
        w.Put(it->second.first, it->second.second);
    }
};

int SizeOf(int v) {
    int a = v < 0 ? -v : v, s = 0;
    while (a) {
        ++s;
        a >>= 1;
    }
    return s;
}

std::uint32_t ExtraBits(int v, int s) { return static_cast<std::uint32_t>(v < 0 ? v - 1 : v) & ((1u << s) - 1); }

struct Layout {
    int McuCols, McuRows;
    std::vector<int> McuH, McuV;
    std::vector<std::size_t> GridW;
};

Layout MakeLayout(int width, int height, const std::vector<Component>& comps) {
    Layout l;
    int maxH = 1, maxV = 1;
    for (auto& c : comps) {
        maxH = std::max(maxH, c.H);
        maxV = std::max(maxV, c.V);
    }
    if (comps.size() == 1) {
        l.McuCols = (width + 7) / 8;
        l.McuRows = (height + 7) / 8;
        l.McuH = {1};
        l.McuV = {1};
    } else {
        l.McuCols = (width + 8 * maxH - 1) / (8 * maxH);
        l.McuRows = (height + 8 * maxV - 1) / (8 * maxV);
        for (auto& c : comps) {
            l.McuH.push_back(c.H);
            l.McuV.push_back(c.V);
        }
    }
    for (std::size_t i = 0; i < comps.size(); ++i) l.GridW.push_back(std::size_t(l.McuCols) * l.McuH[i]);
    return l;
}

void PutWord(Bytes& b, int w) {
    b.push_back(static_cast<std::uint8_t>(w >> 8));
    b.push_back(static_cast<std::uint8_t>(w));
}

} // namespace

Table FullTable(int cls, int id) {
    std::vector<std::uint8_t> symbols;
    if (cls == 0) {
        for (int s = 0; s <= 11; ++s) symbols.push_back(static_cast<std::uint8_t>(s));
    } else {
        symbols = {0x00, 0xF0};
        for (int r = 0; r < 16; ++r)
            for (int s = 1; s <= 10; ++s) symbols.push_back(static_cast<std::uint8_t>(r * 16 + s));
    }
    return FlatTable(cls, id, symbols);
}

Table FlatTable(int cls, int id, const std::vector<std::uint8_t>& symbols) {
    Table t;
    t.Class = cls;
    t.Id = id;
    int len = 1;
    while ((1u << len) < symbols.size() + 1) ++len;  // keep the all-ones code free
    t.Bits[len - 1] = static_cast<std::uint8_t>(symbols.size());
    t.Vals = symbols;
    return t;
}

Bytes Segment(int marker, const Bytes& payload) {
    Bytes b;
    PutWord(b, marker);
    PutWord(b, static_cast<int>(payload.size()) + 2);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Build(const Recipe& recipe) {
    Bytes out{0xFF, 0xD8};
    for (auto& s : recipe.Before) out.insert(out.end(), s.begin(), s.end());
    Bytes dqt;
    for (int t = 0; t < 2; ++t) {
        dqt.push_back(static_cast<std::uint8_t>(t));
        for (int i = 0; i < 64; ++i) dqt.push_back(static_cast<std::uint8_t>(1 + i % 7));
    }
    auto seg = Segment(0xFFDB, dqt);
    out.insert(out.end(), seg.begin(), seg.end());

    Bytes sof{8};
    PutWord(sof, recipe.Height);
    PutWord(sof, recipe.Width);
    sof.push_back(static_cast<std::uint8_t>(recipe.Comps.size()));
    for (auto& c : recipe.Comps) {
        sof.push_back(c.Id);
        sof.push_back(static_cast<std::uint8_t>(c.H * 16 + c.V));
        sof.push_back(static_cast<std::uint8_t>(c.Tq));
    }
    seg = Segment(0xFFC0, sof);
    out.insert(out.end(), seg.begin(), seg.end());

    std::vector<Table> tables = recipe.Tables;
    if (tables.empty()) tables = {FullTable(0, 0), FullTable(1, 0), FullTable(0, 1), FullTable(1, 1)};
    Bytes all;
    for (auto& t : tables) {
        Bytes one{static_cast<std::uint8_t>(t.Class * 16 + t.Id)};
        one.insert(one.end(), t.Bits.begin(), t.Bits.end());
        one.insert(one.end(), t.Vals.begin(), t.Vals.end());
        if (recipe.OneDht) {
            all.insert(all.end(), one.begin(), one.end());
        } else {
            seg = Segment(0xFFC4, one);
            out.insert(out.end(), seg.begin(), seg.end());
        }
    }
    if (recipe.OneDht) {
        seg = Segment(0xFFC4, all);
        out.insert(out.end(), seg.begin(), seg.end());
    }
    if (recipe.RestartInterval >= 0) {
        Bytes dri;
        PutWord(dri, recipe.RestartInterval);
        seg = Segment(0xFFDD, dri);
        out.insert(out.end(), seg.begin(), seg.end());
    }

    std::vector<int> order = recipe.ScanOrder;
    if (order.empty())
        for (std::size_t i = 0; i < recipe.Comps.size(); ++i) order.push_back(static_cast<int>(i));
    Bytes sos{static_cast<std::uint8_t>(order.size())};
    for (int i : order) {
        sos.push_back(recipe.Comps[i].Id);
        sos.push_back(static_cast<std::uint8_t>(recipe.Comps[i].Td * 16 + recipe.Comps[i].Ta));
    }
    sos.insert(sos.end(), {0, 63, 0});
    seg = Segment(0xFFDA, sos);
    out.insert(out.end(), seg.begin(), seg.end());

    // The last definition of each table is the one in force for the scan.
    std::map<int, Codes> codes;
    for (auto& t : tables) codes.insert_or_assign(t.Class * 16 + t.Id, Codes(t));

    const Layout l = MakeLayout(recipe.Width, recipe.Height, recipe.Comps);
    BitWriter w{out};
    std::vector<int> pred(recipe.Comps.size(), 0);
    int sinceRestart = 0, restartIndex = 0;
    for (int row = 0; row < l.McuRows; ++row)
        for (int col = 0; col < l.McuCols; ++col) {
            for (int i : order) {
                const Component& c = recipe.Comps[i];
                const Codes& dc = codes.at(c.Td);
                const Codes& ac = codes.at(16 + c.Ta);
                for (int v = 0; v < l.McuV[i]; ++v)
                    for (int h = 0; h < l.McuH[i]; ++h) {
                        const int bx = col * l.McuH[i] + h, by = row * l.McuV[i] + v;
                        const Block b = recipe.Coef ? recipe.Coef(i, bx, by) : Block{};
                        std::optional<std::vector<Sym>> raw;
                        if (recipe.Raw) raw = recipe.Raw(i, bx, by);
                        if (raw) {
                            for (const Sym& s : *raw) {
                                (s.Class == 0 ? dc : ac).Write(w, s.Symbol);
                                w.Put(s.Bits, s.Count);
                            }
                            continue;
                        }
                        const int diff = b[0] - pred[i];
                        pred[i] = b[0];
                        dc.Write(w, SizeOf(diff));
                        w.Put(ExtraBits(diff, SizeOf(diff)), SizeOf(diff));
                        int zeros = 0;
                        for (int k = 1; k < 64; ++k) {
                            if (b[k] == 0) {
                                ++zeros;
                                continue;
                            }
                            for (; zeros > 15; zeros -= 16) ac.Write(w, 0xF0);
                            const int s = SizeOf(b[k]);
                            ac.Write(w, zeros * 16 + s);
                            w.Put(ExtraBits(b[k], s), s);
                            zeros = 0;
                        }
                        if (zeros) ac.Write(w, 0x00);
                    }
            }
            const bool last = row == l.McuRows - 1 && col == l.McuCols - 1;
            if (recipe.RestartInterval > 0 && ++sinceRestart == recipe.RestartInterval && !last) {
                w.PadWithOnes();
                int n = restartIndex & 7;
                if (!recipe.RestartNumbers.empty())
                    n = recipe.RestartNumbers[restartIndex % recipe.RestartNumbers.size()];
                out.push_back(0xFF);
                out.push_back(static_cast<std::uint8_t>(0xD0 + n));
                ++restartIndex;
                sinceRestart = 0;
                std::fill(pred.begin(), pred.end(), 0);
            }
        }
    w.PadWithOnes();
    if (recipe.WriteEoi) PutWord(out, 0xFFD9);
    out.insert(out.end(), recipe.After.begin(), recipe.After.end());
    return out;
}

std::vector<std::pair<int, Bytes>> Segments(const Bytes& d) {
    std::vector<std::pair<int, Bytes>> list;
    std::size_t p = 2;
    while (p + 4 <= d.size()) {
        const int m = (d[p] << 8) | d[p + 1];
        const std::size_t len = (std::size_t(d[p + 2]) << 8) | d[p + 3];
        list.push_back({m, Bytes(d.begin() + p, d.begin() + std::min(d.size(), p + 2 + len))});
        p += 2 + len;
        if (m == 0xFFDA) break;
    }
    return list;
}

namespace {

struct BitReader {
    const Bytes& D;
    std::size_t Pos;
    int Bit = 8;
    std::uint8_t Cur = 0;
    bool Bad = false;
    int Read() {
        if (Bit == 8) {
            if (Pos >= D.size()) {
                Bad = true;
                return 0;
            }
            Cur = D[Pos++];
            if (Cur == 0xFF) {
                if (Pos >= D.size() || D[Pos] != 0) Bad = true;
                ++Pos;
            }
            Bit = 0;
        }
        return (Cur >> (7 - Bit++)) & 1;
    }
    int Receive(int s) {
        int v = 0;
        for (int i = 0; i < s; ++i) v = v * 2 + Read();
        if (s && v < (1 << (s - 1))) v -= (1 << s) - 1;
        return v;
    }
};

struct DecodeTable {
    std::vector<std::pair<int, int>> CodeLen;  // (code, length) per entry
    std::vector<int> Vals;
    int Decode(BitReader& r) const {
        int code = 0;
        for (int len = 1; len <= 16; ++len) {
            code = code * 2 + r.Read();
            for (std::size_t k = 0; k < Vals.size(); ++k)
                if (CodeLen[k].second == len && CodeLen[k].first == code) return Vals[k];
        }
        return -1;
    }
};

} // namespace

Decoded DecodeReference(const Bytes& d) {
    Decoded result;
    std::map<int, DecodeTable> tables;
    std::vector<Component> comps;
    int restart = 0;
    std::size_t p = 2;
    std::vector<int> order;
    std::vector<int> td(4), ta(4);
    for (;;) {
        if (p + 4 > d.size()) return result;
        const int m = (d[p] << 8) | d[p + 1];
        const std::size_t len = (std::size_t(d[p + 2]) << 8) | d[p + 3];
        const std::uint8_t* s = &d[p + 4];
        if (m == 0xFFC0) {
            result.Height = (s[1] << 8) | s[2];
            result.Width = (s[3] << 8) | s[4];
            for (int i = 0; i < s[5]; ++i) comps.push_back({s[6 + 3 * i], s[7 + 3 * i] >> 4, s[7 + 3 * i] & 15, 0, 0, 0});
        } else if (m == 0xFFC4) {
            std::size_t q = 0;
            while (q < len - 2) {
                DecodeTable t;
                const int key = (s[q] >> 4) * 2 + (s[q] & 15);
                int code = 0, k = 0;
                for (int l = 1; l <= 16; ++l) {
                    for (int i = 0; i < s[q + l]; ++i, ++k) {
                        t.CodeLen.push_back({code++, l});
                        t.Vals.push_back(s[q + 17 + k]);
                    }
                    code *= 2;
                }
                tables[key] = t;
                q += 17 + k;
            }
        } else if (m == 0xFFDD) {
            restart = (s[0] << 8) | s[1];
        } else if (m == 0xFFDA) {
            for (int i = 0; i < s[0]; ++i)
                for (std::size_t j = 0; j < comps.size(); ++j)
                    if (comps[j].Id == s[1 + 2 * i]) {
                        order.push_back(static_cast<int>(j));
                        td[j] = s[2 + 2 * i] >> 4;
                        ta[j] = s[2 + 2 * i] & 15;
                    }
            p += 2 + len;
            break;
        }
        p += 2 + len;
    }
    const Layout l = MakeLayout(result.Width, result.Height, comps);
    result.Comps.resize(comps.size());
    result.GridWidth = l.GridW;
    for (std::size_t i = 0; i < comps.size(); ++i)
        result.Comps[i].resize(l.GridW[i] * std::size_t(l.McuRows) * l.McuV[i]);
    BitReader r{d, p};
    std::vector<int> pred(comps.size(), 0);
    int since = 0;
    for (int row = 0; row < l.McuRows; ++row)
        for (int col = 0; col < l.McuCols; ++col) {
            for (int i : order)
                for (int v = 0; v < l.McuV[i]; ++v)
                    for (int h = 0; h < l.McuH[i]; ++h) {
                        Block b{};
                        const int s = tables[td[i]].Decode(r);
                        if (s < 0) return result;
                        pred[i] += r.Receive(s);
                        b[0] = static_cast<std::int16_t>(pred[i]);
                        for (int k = 1; k < 64;) {
                            const int rs = tables[2 + ta[i]].Decode(r);
                            if (rs < 0) return result;
                            if (rs == 0) break;
                            k += rs >> 4;
                            if (k > 63) return result;
                            b[k++] = static_cast<std::int16_t>(r.Receive(rs & 15));
                        }
                        const std::size_t bx = std::size_t(col) * l.McuH[i] + h, by = std::size_t(row) * l.McuV[i] + v;
                        result.Comps[i][by * l.GridW[i] + bx] = b;
                    }
            const bool last = row == l.McuRows - 1 && col == l.McuCols - 1;
            if (restart > 0 && ++since == restart && !last) {
                r.Bit = 8;
                if (r.Pos + 1 >= d.size() || d[r.Pos] != 0xFF || (d[r.Pos + 1] & 0xF8) != 0xD0) return result;
                r.Pos += 2;
                since = 0;
                std::fill(pred.begin(), pred.end(), 0);
            }
        }
    result.Ok = !r.Bad;
    return result;
}

} // namespace testjpeg
