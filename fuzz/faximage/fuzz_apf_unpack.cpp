// APF reading plus decoding: any file must give a code or a bitmap, never a crash, a hang
// or unbounded memory (rows are capped at 32767, reads at the file's end).
#include <cstddef>
#include <cstdint>

#include "fax/apf_file.h"
#include "faximage/unpack_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace quillon;
    fax::TApfMemorySource source({data, size});
    fax::TApfFileHeader header;
    if (fax::ReadFileHeader(source, header) != 0) {
        return 0;
    }
    faximage::TUnpackEngine engine;
    engine.ClearOptions(0xFFFF);
    engine.SetOptions(faximage::ufDoubleHeight);
    (void)engine.SetWhitespaceCompression(5, 1);
    // At most a few pages: a page count of 65535 costs one header walk each.
    uint32_t pages = header.pageCount < 4 ? header.pageCount : 4;
    for (uint32_t page = 1; page <= pages + 1; ++page) {
        faximage::TUnpackResult result;
        (void)engine.UnpackPageToBitmap(source, "fuzz.apf", page, true, result);
        if (result.bitmap && (result.bitmap->Height() > 32767 || result.bitmap->Width() > 2048)) {
            __builtin_trap();
        }
    }
    return 0;
}
