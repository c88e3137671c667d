#include "RunRecord.h"

// Placeholder bodies: the record is written in the commit that follows.
const char* QxOutcomeName(QxOutcome i_eOutcome) {
    static const char* const s_aNames[] = {"pending",       "flashed",       "no-image",    "image-refused",
                                           "no-answer",     "write-stalled", "unconfirmed", "failed"};
    return (unsigned)i_eOutcome < sizeof(s_aNames) / sizeof(s_aNames[0]) ? s_aNames[i_eOutcome] : "failed";
}
void RunRecord_Begin(QxOrderKind, const char*, const char*, const char*, bool) {}
void RunRecord_Phase(const char*, const char*) {}
void RunRecord_Current(const char*) {}
void RunRecord_Target(const char*, QxOutcome) {}
void RunRecord_Refused(QxOrderKind, const char*, const char*) {}
bool RunRecord_RecoverAtStart() { return false; }
std::string RunRecord_Path() { return QX_LAST_RUN; }
std::string RunRecord_OrderId(const char*, size_t) { return ""; }
int RunRecord_PrintStatus(const char*) { return 2; }
