// fwtool artifact: an update package as a Mender artifact of type matrix-mcu,
// which the matrix-mcu update module (package mgtask-mender) installs on a
// board. The package is judged first as check-package does: one that would
// not flash as meant never becomes an artifact a fleet could be sent.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "Progress.h"
#include "Sandbox.h"
#include "Udp2vela.h"
#include "fwtool.h"
#include "package_judge.h"

namespace {

struct Args {
    std::string package, version, deviceType, key, output, name;
} s_args;

// The first executable NAME in PATH, or "".
std::string FindInPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate)) return candidate;
        start = end + 1;
    }
    return "";
}

// Printable ASCII without spaces: the values become provides and file names.
std::string PlainWord(const std::string& what, const std::string& value) {
    if (value.empty()) return what + " is empty";
    if (value.size() > 128) return what + " is longer than 128 characters";
    for (unsigned char c : value)
        if (c <= ' ' || c >= 0x7F || c == '"' || c == '\'' || c == '\\')
            return what + " [" + value + "] holds a space, a quote or a character that is not printable ASCII";
    return "";
}

int Fail(const std::string& why) {
    fprintf(stderr, "fwtool artifact: %s\n", why.c_str());
    return 1;
}

int Run() {
    const Args& a = s_args;
    std::string name = a.name.empty() ? "matrix-mcu-" + a.version : a.name;
    for (const auto& [what, value] : {std::pair<std::string, std::string>{"--version", a.version},
                                      {"--device-type", a.deviceType},
                                      {"the artifact name", name}}) {
        std::string why = PlainWord(what, value);
        if (!why.empty()) return Fail(why);
    }
    std::string tool = FindInPath("mender-artifact");
    if (tool.empty())
        return Fail(
            "mender-artifact is not installed (not found in PATH): install Debian's mender-artifact "
            "package (apt-get install mender-artifact), or put its directory in PATH");
    if (!a.key.empty() && access(a.key.c_str(), R_OK) != 0) return Fail("cannot read the signing key " + a.key);

    PackageJudgement j;
    if (!JudgePackage(a.package, &j)) return Fail("cannot read " + a.package);
    if (!j.refusal.empty())
        return Fail("the agent would refuse " + a.package + ": " + j.refusal.substr(j.refusal.find_first_not_of("# ")));
    sim::PrintTable(stdout, j.table);
    if (j.blocking) return Fail(a.package + " would not flash as it is: see the rows above (fwtool check-package)");
    if (j.images == 0) return Fail(a.package + " holds no image the agent would flash");
    if (!j.missing.empty()) {
        std::string list;
        for (const std::string& m : j.missing) list += (list.empty() ? "" : ", ") + m;
        printf("no image for: %s (the upgrade leaves these targets as they are)\n", list.c_str());
    }

    namespace fs = std::filesystem;
    fs::path out = a.output.empty() ? fs::path(name + ".mender") : fs::path(a.output);
    fs::path dir = out.parent_path().empty() ? fs::path(".") : out.parent_path();
    // Written beside its place and renamed: a failed run leaves no half artifact.
    fs::path partial = dir / ("." + out.filename().string() + ".partial");
    sim::TempRoot scratch;
    std::string meta = scratch.path() + "/meta-data.json";
    sim::WriteFile(meta, nlohmann::json{{"board_model", QX_MODEL_WORD}}.dump() + "\n");
    std::vector<std::string> argv = {tool,
                                     "write",
                                     "module-image",
                                     "--type",
                                     "matrix-mcu",
                                     "--artifact-name",
                                     name,
                                     "--device-type",
                                     a.deviceType,
                                     "--file",
                                     a.package,
                                     "--software-name",
                                     "matrix-mcu",
                                     "--software-version",
                                     a.version,
                                     "--meta-data",
                                     meta,
                                     "--output-path",
                                     partial.string()};
    if (!a.key.empty()) argv.insert(argv.end(), {"--key", a.key});
    std::string said;
    int rc = sim::RunArgv(argv, &said);
    std::error_code ec;
    if (rc != 0) {
        fs::remove(partial, ec);
        return Fail("mender-artifact failed (status " + std::to_string(rc) + "):\n" + said);
    }
    fs::rename(partial, out, ec);
    if (ec) {
        fs::remove(partial, ec);
        return Fail("cannot write " + out.string() + ": " + ec.message());
    }
    printf("wrote %s: artifact %s, type matrix-mcu, device type %s, provides rootfs-image.matrix-mcu.version=%s, %s\n",
           out.string().c_str(), name.c_str(), a.deviceType.c_str(), a.version.c_str(),
           a.key.empty() ? "not signed" : "signed");
    return 0;
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("PACKAGE", s_args.package, "update package (.tar.gz) as vela uploads it")->required();
    app.add_option("--version", s_args.version, "the package's version: the artifact's software version")->required();
    app.add_option("--device-type", s_args.deviceType, "the device type of the boards it is for")->required();
    app.add_option("--key", s_args.key, "private key to sign the artifact with (PEM)");
    app.add_option("-o,--output", s_args.output, "artifact file (default: NAME.mender here)");
    app.add_option("--name", s_args.name, "artifact name (default: matrix-mcu-VERSION)");
    return &Run;
}

FwCommand s_cmd("artifact", "make a package a Mender artifact for the matrix-mcu update module", &Setup);

}  // namespace
