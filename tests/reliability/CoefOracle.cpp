#include "CoefOracle.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace lumaro::test {

namespace {

struct TErrorManager {
    jpeg_error_mgr Base;
    std::jmp_buf Jump;
    int Warnings;
};

void ErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TErrorManager*>(cinfo->err)->Jump, 1);
}

void EmitMessage(j_common_ptr cinfo, int level) {
    if (level < 0) ++reinterpret_cast<TErrorManager*>(cinfo->err)->Warnings;
}

void OutputMessage(j_common_ptr) {}

// Everything that lives across setjmp is plain data owned by the caller, so a
// longjmp out of libjpeg skips no destructor.
struct TDecodeState {
    jpeg_decompress_struct Info;
    TErrorManager Err;
};

bool Decode(TDecodeState& st, const std::uint8_t* data, std::size_t size, TCoefImage& image,
            std::size_t maxBlocks) {
    jpeg_decompress_struct& info = st.Info;
    info.err = jpeg_std_error(&st.Err.Base);
    st.Err.Base.error_exit = ErrorExit;
    st.Err.Base.emit_message = EmitMessage;
    st.Err.Base.output_message = OutputMessage;
    st.Err.Warnings = 0;
    jpeg_create_decompress(&info);
    if (setjmp(st.Err.Jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    std::size_t blocks = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& ci = info.comp_info[c];
        // the same rounding libjpeg applies: ceil(X * h / (8 * hmax))
        const std::size_t w = (std::size_t(info.image_width) * ci.h_samp_factor + 8 * info.max_h_samp_factor - 1) /
                              (8 * info.max_h_samp_factor);
        const std::size_t h = (std::size_t(info.image_height) * ci.v_samp_factor + 8 * info.max_v_samp_factor - 1) /
                              (8 * info.max_v_samp_factor);
        blocks += w * h;
    }
    if (blocks > maxBlocks) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
    image.Width = static_cast<int>(info.image_width);
    image.Height = static_cast<int>(info.image_height);
    image.Components.resize(info.num_components);
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& ci = info.comp_info[c];
        TCoefComponent& out = image.Components[c];
        out.Id = ci.component_id;
        out.H = ci.h_samp_factor;
        out.V = ci.v_samp_factor;
        out.WidthInBlocks = static_cast<int>(ci.width_in_blocks);
        out.HeightInBlocks = static_cast<int>(ci.height_in_blocks);
        out.Quant.assign(64, 0);
        if (ci.quant_table)
            for (int k = 0; k < 64; ++k) out.Quant[k] = ci.quant_table->quantval[k];
        out.Coef.assign(std::size_t(out.WidthInBlocks) * out.HeightInBlocks * 64, 0);
        for (JDIMENSION row = 0; row < ci.height_in_blocks; ++row) {
            JBLOCKARRAY line = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info), arrays[c], row, 1,
                                                            FALSE);
            for (JDIMENSION col = 0; col < ci.width_in_blocks; ++col)
                for (int k = 0; k < 64; ++k)
                    out.Coef[(std::size_t(row) * out.WidthInBlocks + col) * 64 + k] = line[0][col][k];
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

TOracleRead ReadCoefficients(const std::uint8_t* Data, std::size_t Size, TCoefImage& Image, std::size_t MaxBlocks) {
    Image = TCoefImage{};
    TDecodeState st{};
    if (!Decode(st, Data, Size, Image, MaxBlocks)) return TOracleRead::Failed;
    return st.Err.Warnings ? TOracleRead::Warnings : TOracleRead::Clean;
}

std::string CompareCoefficients(const TCoefImage& A, const TCoefImage& B) {
    if (A.Width != B.Width || A.Height != B.Height) return "frame size differs";
    if (A.Components.size() != B.Components.size()) return "component count differs";
    for (std::size_t c = 0; c < A.Components.size(); ++c) {
        const TCoefComponent& a = A.Components[c];
        const TCoefComponent& b = B.Components[c];
        const std::string name = "component " + std::to_string(c) + ": ";
        if (a.Id != b.Id || a.H != b.H || a.V != b.V) return name + "identifier or sampling differs";
        if (a.Quant != b.Quant) return name + "quantisation table differs";
        if (a.WidthInBlocks != b.WidthInBlocks || a.HeightInBlocks != b.HeightInBlocks) return name + "block grid differs";
        for (std::size_t i = 0; i < a.Coef.size(); ++i)
            if (a.Coef[i] != b.Coef[i])
                return name + "block " + std::to_string(i / 64) + " coefficient " + std::to_string(i % 64) + " differs";
    }
    return {};
}

} // namespace lumaro::test
