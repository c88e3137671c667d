// The result record: what the last order did, for vela, an engineer and a
// fleet tool, in /var/lib/mgtask/last-run (readable by every account). Lines
// "key=value", values without spaces, replaced whole (new file, fsync,
// rename, fsync of the directory) at every phase change and every target's
// end, so neither a reader nor a power cut ever sees half of one:
//
//   format=1
//   order=package|valens
//   order_id=<the 251 payload when it is 1-64 characters of [A-Za-z0-9._-]>
//   package_sha256=<hex, package orders>
//   boot_id=<the kernel's boot id when the order was taken>
//   started=<unix seconds>  updated=<unix seconds>
//   phase=staging|flashing|resetting|rebooting|finished|refused|interrupted|reboot-failed
//   current=<target being worked on, or empty>
//   reason=<one word when refused or failed>
//   target.<NAME>=pending|flashed|no-image|image-refused|no-answer|write-stalled|unconfirmed|failed
//   verdict=pending|success|failure
//
// Every function is safe from both worker threads. A failure to write the
// file is logged and changes nothing else.
#pragma once

#include <stddef.h>

#include <string>

#include "BoardProfile.h"

#define QX_LAST_RUN QX_STATE_DIR "/last-run"

// How one target ended, as the record names it.
enum QxOutcome {
    emOutcomePending = 0,   // not reached yet
    emOutcomeFlashed,       // written and, where the procedure has one, confirmed
    emOutcomeNoImage,       // nothing staged for it: never addressed
    emOutcomeImageRefused,  // its image was refused before anything was written
    emOutcomeNoAnswer,      // the device never answered
    emOutcomeWriteStalled,  // the line stopped taking bytes mid-image
    emOutcomeUnconfirmed,   // written, but the device never confirmed it
    emOutcomeFailed,        // any other failure (a verdict of FAIL, a transfer given up)
};
const char* QxOutcomeName(QxOutcome i_eOutcome);

// The targets of an order in the sequence's order: VALENS; EP1..EP16, MASTER, BV1..BV8, IOMCU.
enum QxOrderKind { emOrderValens, emOrderPackage };

// A new record for an order taken now: its targets pending, phase as given,
// boot id and start time read now. i_pOrderId may be empty; i_pSha256 only
// for packages. With i_bKeepValens (a package branch that follows a Valens
// branch in the same pass) the VALENS outcome of the record so far is kept.
void RunRecord_Begin(QxOrderKind i_eKind, const char* i_pOrderId, const char* i_pSha256, const char* i_pPhase,
                     bool i_bKeepValens = false);
// Phase change; the verdict is settled when the phase is one that ends the
// flashing (rebooting, finished, reboot-failed, interrupted, refused).
void RunRecord_Phase(const char* i_pPhase, const char* i_pReason = "");
// The target now being worked on ("" for none).
void RunRecord_Current(const char* i_pTarget);
// A target's end: its outcome, current cleared. Names: VALENS, EP1..EP16, MASTER, BV1..BV8, IOMCU.
void RunRecord_Target(const char* i_pTarget, QxOutcome i_eOutcome);
// An order refused: a record of its own with phase=refused, written only when
// no upgrade is running (a running upgrade's record is never overwritten; the
// refusal is only logged then).
void RunRecord_Refused(QxOrderKind i_eKind, const char* i_pOrderId, const char* i_pReason);
// At start-up no upgrade can be running: a record left in staging, flashing or
// resetting becomes phase=interrupted with verdict=failure, keeping current
// and the targets. Returns true when it did (the caller then removes staging).
bool RunRecord_RecoverAtStart();
// The record file's path on this board (root prefix included).
std::string RunRecord_Path();
// An order id as the record takes it: 1-64 characters of [A-Za-z0-9._-], else "".
std::string RunRecord_OrderId(const char* i_pData, size_t i_len);

// mgtask --status: prints the record for a person (one line per target, the
// verdict last). Returns 0 for success, 1 for failure, 2 for none or pending.
int RunRecord_PrintStatus(const char* i_pPath);
