// The emulated board on a pty for whole-process measurements of mgtask
// (bench/footprint.sh): prints the pty slave's path, serves the IO MCU and the
// Valens chip until standard input closes, then says what the chip took.
#include <stdio.h>
#include <unistd.h>

#include "Board.h"
#include "Bootloader.h"
#include "PtyLine.h"
#include "ValensChip.h"

int main() {
    sim::PtyLine line;
    sim::Board board(line);
    sim::Bootloader ioMcu("iomcu");
    sim::ValensChip valens("valens");
    board.routeSig(&ioMcu, &valens);
    board.start();
    printf("%s\n", line.slavePath().c_str());
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    board.stop();
    sim::ValensChip::Record r = valens.record();
    printf("valens chip: %s, %zu bytes, %s\n", r.fileName.c_str(), r.file.size(),
           r.complete && r.verdict == "SUCCESS\r\n" ? "complete" : "incomplete");
    return r.complete ? 0 : 1;
}
