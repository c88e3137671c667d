// fwtool check-package: stages an update package exactly as the agent does (its
// own staging commands, in a private root) and tells, target by target, what an
// upgrade would flash from it. Every EP and BV image goes through the agent's
// own loader and, apart from it, through the emulated devices' reading of
// Intel HEX; the two must agree on the verdict and on every byte.
#include <stdio.h>

#include "Progress.h"
#include "fwtool.h"
#include "package_judge.h"

namespace {

std::string s_package;

int Run() {
    PackageJudgement j;
    if (!JudgePackage(s_package, &j)) {
        fprintf(stderr, "fwtool check-package: cannot read %s\n", s_package.c_str());
        return 1;
    }
    sim::PrintTable(stdout, j.table);
    if (j.disagreements)
        printf("the agent's loader and the devices' reading DISAGREE on %d image(s): an error in one of them\n",
               j.disagreements);
    printf("%s\n", j.problems ? "the package is NOT complete: see the rows above" : "every target has a valid image");
    return j.problems ? 1 : 0;
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("PACKAGE", s_package, "update package (.tar.gz) as vela uploads it")->required();
    return &Run;
}

FwCommand s_cmd("check-package", "stage a package as the agent does and judge every image it would flash", &Setup);

}  // namespace
