// fwtool hex2bin: the flash image the agent's loader makes of an Intel HEX file.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "Taskfile2mcu.h"
#include "fwtool.h"

namespace {
struct Args {
    std::string in, out;
} s_args;

int Run(const std::string& inPath, const std::string& outPath) {
    FILE* in = fopen(inPath.c_str(), "rb");
    if (in == nullptr) {
        fprintf(stderr, "fwtool hex2bin: cannot open %s: %s\n", inPath.c_str(), strerror(errno));
        return 1;
    }
    // Read as the agent does: at most the text buffer, the true length handed
    // to the loader so that an overlong file gets the loader's own refusal.
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    size_t uRead = fread(g_Filebuf, 1, sizeof(g_Filebuf), in);
    long lSize = (long)uRead;
    if (uRead == sizeof(g_Filebuf) && fseek(in, 0, SEEK_END) == 0) lSize = ftell(in);
    bool bErr = ferror(in) != 0;
    fclose(in);
    if (bErr) {
        fprintf(stderr, "fwtool hex2bin: cannot read %s\n", inPath.c_str());
        return 1;
    }
    int nLen = lSize > 0x7FFFFFFF ? 0x7FFFFFFF : (int)lSize;
    if (TransformDataOfFile(g_Filebuf, nLen) != 0) {
        fprintf(stderr, "fwtool hex2bin: %s refused by the loader, nothing written\n", inPath.c_str());
        return 1;
    }
    FILE* out = fopen(outPath.c_str(), "wb");
    if (out == nullptr) {
        fprintf(stderr, "fwtool hex2bin: cannot create %s: %s\n", outPath.c_str(), strerror(errno));
        return 1;
    }
    bool bOk = fwrite(g_FlashBuf, 1, QX_FLASHBUF_LEN, out) == QX_FLASHBUF_LEN;
    bOk = (fclose(out) == 0) && bOk;
    if (!bOk) {
        fprintf(stderr, "fwtool hex2bin: writing %s failed\n", outPath.c_str());
        remove(outPath.c_str());
        return 1;
    }
    return 0;
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("IN", s_args.in, "Intel HEX file")->required();
    app.add_option("OUT", s_args.out, "flash image to write")->required();
    return [] { return Run(s_args.in, s_args.out); };
}

FwCommand s_cmd("hex2bin", "write the 65,536-byte flash image the agent's loader makes of IN (0xFF where no data)",
                &Setup);
}  // namespace
