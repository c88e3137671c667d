#include "RunRecord.h"
#include "QxClock.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

#include "BoardFiles.h"
#include "BoardProfile.h"
#include "QxLog.h"

namespace {
const char* const s_aOutcomeNames[] = {"pending",   "flashed",       "no-image",    "image-refused",
                                       "no-answer", "write-stalled", "unconfirmed", "failed"};
const size_t kOutcomes = sizeof(s_aOutcomeNames) / sizeof(s_aOutcomeNames[0]);

struct Record {
    bool bValid = false;
    std::string strOrder, strOrderId, strSha, strBootId, strPhase, strCurrent, strReason, strVerdict;
    long long llStarted = 0, llUpdated = 0;
    std::vector<std::pair<std::string, std::string>> vTargets;  // name, outcome name
};

std::mutex s_mutex;
Record s_rec;

// Phases in which an upgrade is under way: its record is never replaced by a refusal.
bool IsRunningPhase(const std::string& i_strPhase) {
    return i_strPhase == "staging" || i_strPhase == "flashing" || i_strPhase == "resetting" ||
           i_strPhase == "rebooting";
}
// Phases that end the flashing: the verdict is settled there.
bool IsSettlingPhase(const std::string& i_strPhase) { return !IsRunningPhase(i_strPhase) || i_strPhase == "rebooting"; }

std::string BootId() {
    char szId[64] = "";
    FILE* fp = fopen("/proc/sys/kernel/random/boot_id", "re");
    if (fp != nullptr) {
        if (fgets(szId, sizeof(szId), fp) == nullptr) szId[0] = '\0';
        fclose(fp);
    }
    szId[strcspn(szId, "\r\n \t")] = '\0';
    return szId;
}

// A value as the record holds it: no spaces, no line breaks, nothing a shell would trip over.
std::string Plain(const char* i_p) {
    std::string s = i_p ? i_p : "";
    for (char& c : s)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '=') c = '_';
    return s;
}

std::vector<std::string> TargetsOf(QxOrderKind i_eKind) {
    if (i_eKind == emOrderValens) return {"VALENS"};
    std::vector<std::string> v;
    for (int i = 1; i <= 16; i++) v.push_back("EP" + std::to_string(i));
    v.push_back("MASTER");
    for (int i = 1; i <= 8; i++) v.push_back("BV" + std::to_string(i));
    v.push_back("IOMCU");
    return v;
}

std::string Verdict(const Record& i_rec) {
    if (!IsSettlingPhase(i_rec.strPhase)) return "pending";
    if (i_rec.strPhase == "refused" || i_rec.strPhase == "interrupted") return "failure";
    bool bStaged = false;
    for (const auto& t : i_rec.vTargets) {
        if (t.second == "no-image") continue;
        bStaged = true;
        if (t.second != "flashed") return "failure";
    }
    return bStaged ? "success" : "failure";
}

std::string Render(const Record& i_rec) {
    std::string s = "format=1\norder=" + i_rec.strOrder + "\norder_id=" + i_rec.strOrderId + "\n";
    if (i_rec.strOrder == "package") s += "package_sha256=" + i_rec.strSha + "\n";
    s += "boot_id=" + i_rec.strBootId + "\nstarted=" + std::to_string(i_rec.llStarted) +
         "\nupdated=" + std::to_string(i_rec.llUpdated) + "\nphase=" + i_rec.strPhase +
         "\ncurrent=" + i_rec.strCurrent + "\nreason=" + i_rec.strReason + "\n";
    for (const auto& t : i_rec.vTargets) s += "target." + t.first + "=" + t.second + "\n";
    s += "verdict=" + i_rec.strVerdict + "\n";
    return s;
}

// Writes the record as it now is; the caller holds the lock.
void WriteLocked() {
    s_rec.llUpdated = (long long)Clock_Time();
    s_rec.strVerdict = Verdict(s_rec);
    char szDir[QX_PATH_BUF(64)];
    Board_Path(szDir, sizeof(szDir), QX_STATE_DIR);
    std::string strText = Render(s_rec);
    if (Board_EnsureOwnDir(szDir) != 0 ||
        Board_ReplaceFile(RunRecord_Path().c_str(), strText.data(), strText.size(), 0644) != 0)
        qx_printf("###### result record not written: phase=%s verdict=%s\n", s_rec.strPhase.c_str(),
                  s_rec.strVerdict.c_str());
}

bool ParseRecord(const std::string& i_strText, Record* o_pRec) {
    Record rec;
    size_t nPos = 0;
    while (nPos < i_strText.size()) {
        size_t nEnd = i_strText.find('\n', nPos);
        if (nEnd == std::string::npos) nEnd = i_strText.size();
        std::string strLine = i_strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        size_t nEq = strLine.find('=');
        if (nEq == std::string::npos) continue;
        std::string k = strLine.substr(0, nEq), v = strLine.substr(nEq + 1);
        if (k == "format") rec.bValid = v == "1";
        else if (k == "order") rec.strOrder = v;
        else if (k == "order_id") rec.strOrderId = v;
        else if (k == "package_sha256") rec.strSha = v;
        else if (k == "boot_id") rec.strBootId = v;
        else if (k == "started") rec.llStarted = atoll(v.c_str());
        else if (k == "updated") rec.llUpdated = atoll(v.c_str());
        else if (k == "phase") rec.strPhase = v;
        else if (k == "current") rec.strCurrent = v;
        else if (k == "reason") rec.strReason = v;
        else if (k == "verdict") rec.strVerdict = v;
        else if (k.compare(0, 7, "target.") == 0) rec.vTargets.push_back({k.substr(7), v});
    }
    *o_pRec = rec;
    return rec.bValid;
}

// The record file as text; false when there is none (or no plain file of its own).
bool ReadRecordFile(const char* i_pPath, std::string* o_pText) {
    int fd = Board_OpenRegular(i_pPath);
    if (fd < 0) return false;
    o_pText->clear();
    char aBuf[4096];
    ssize_t n;
    while ((n = read(fd, aBuf, sizeof(aBuf))) > 0 && o_pText->size() < 65536) o_pText->append(aBuf, (size_t)n);
    close(fd);
    return true;
}
}  // namespace

const char* QxOutcomeName(QxOutcome i_eOutcome) {
    return (unsigned)i_eOutcome < kOutcomes ? s_aOutcomeNames[i_eOutcome] : "failed";
}

std::string RunRecord_Path() {
    char szPath[QX_PATH_BUF(64)];
    return Board_Path(szPath, sizeof(szPath), QX_LAST_RUN);
}

void RunRecord_Begin(QxOrderKind i_eKind, const char* i_pOrderId, const char* i_pSha256, const char* i_pPhase,
                     bool i_bKeepValens) {
    std::lock_guard<std::mutex> lock(s_mutex);
    Record rec;
    rec.bValid = true;
    rec.strOrder = i_eKind == emOrderValens ? "valens" : "package";
    rec.strOrderId = Plain(i_pOrderId);
    rec.strSha = Plain(i_pSha256);
    rec.strBootId = BootId();
    rec.llStarted = (long long)Clock_Time();
    rec.strPhase = Plain(i_pPhase);
    if (i_bKeepValens && s_rec.bValid)
        for (const auto& t : s_rec.vTargets)
            if (t.first == "VALENS") rec.vTargets.push_back(t);
    for (const std::string& strName : TargetsOf(i_eKind)) rec.vTargets.push_back({strName, "pending"});
    s_rec = rec;
    WriteLocked();
}

void RunRecord_Phase(const char* i_pPhase, const char* i_pReason) {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!s_rec.bValid) return;
    s_rec.strPhase = Plain(i_pPhase);
    s_rec.strReason = Plain(i_pReason);
    WriteLocked();
}

void RunRecord_Current(const char* i_pTarget) {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!s_rec.bValid) return;
    s_rec.strCurrent = Plain(i_pTarget);
    WriteLocked();
}

void RunRecord_Target(const char* i_pTarget, QxOutcome i_eOutcome) {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!s_rec.bValid) return;
    std::string strName = Plain(i_pTarget);
    bool bFound = false;
    for (auto& t : s_rec.vTargets) {
        if (t.first != strName) continue;
        t.second = QxOutcomeName(i_eOutcome);
        bFound = true;
    }
    if (!bFound) s_rec.vTargets.push_back({strName, QxOutcomeName(i_eOutcome)});
    s_rec.strCurrent.clear();
    WriteLocked();
}

void RunRecord_Refused(QxOrderKind i_eKind, const char* i_pOrderId, const char* i_pReason) {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_rec.bValid && IsRunningPhase(s_rec.strPhase)) {
        qx_printf("###### %s order refused (%s); the record of the upgrade under way is kept\n",
                  i_eKind == emOrderValens ? "Valens" : "package", i_pReason ? i_pReason : "");
        return;
    }
    Record rec;
    rec.bValid = true;
    rec.strOrder = i_eKind == emOrderValens ? "valens" : "package";
    rec.strOrderId = Plain(i_pOrderId);
    rec.strBootId = BootId();
    rec.llStarted = (long long)Clock_Time();
    rec.strPhase = "refused";
    rec.strReason = Plain(i_pReason);
    s_rec = rec;
    WriteLocked();
}

bool RunRecord_RecoverAtStart() {
    std::lock_guard<std::mutex> lock(s_mutex);
    std::string strText;
    Record rec;
    if (!ReadRecordFile(RunRecord_Path().c_str(), &strText) || !ParseRecord(strText, &rec)) return false;
    s_rec = rec;
    if (rec.strPhase != "staging" && rec.strPhase != "flashing" && rec.strPhase != "resetting") return false;
    qx_printf("###### the last upgrade was cut off in phase %s at [%s]: recorded as interrupted\n",
              rec.strPhase.c_str(), rec.strCurrent.c_str());
    s_rec.strPhase = "interrupted";
    WriteLocked();
    return true;
}

std::string RunRecord_OrderId(const char* i_pData, size_t i_len) {
    std::string s;
    for (size_t i = 0; i < i_len && i_pData != nullptr && i_pData[i] != '\0'; i++) s += i_pData[i];
    if (s.empty() || s.size() > 64) return "";
    for (char c : s) {
        bool bOk = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                   c == '_' || c == '-';
        if (!bOk) return "";
    }
    return s;
}

int RunRecord_PrintStatus(const char* i_pPath) {
    std::string strText;
    Record rec;
    if (!ReadRecordFile(i_pPath, &strText)) {
        printf("no upgrade recorded (%s)\n", i_pPath);
        return 2;
    }
    if (!ParseRecord(strText, &rec)) {
        printf("%s is not a result record this agent can read\n", i_pPath);
        return 2;
    }
    auto stamp = [](long long i_ll) {
        char szTime[64] = "-";
        time_t t = (time_t)i_ll;
        struct tm tmUtc;
        if (i_ll > 0 && gmtime_r(&t, &tmUtc) != nullptr) strftime(szTime, sizeof(szTime), "%Y-%m-%d %H:%M:%S UTC", &tmUtc);
        return std::string(szTime);
    };
    printf("order     %s%s%s\n", rec.strOrder.c_str(), rec.strOrderId.empty() ? "" : " ", rec.strOrderId.c_str());
    if (!rec.strSha.empty()) printf("package   sha256 %s\n", rec.strSha.c_str());
    printf("started   %s\nupdated   %s\n", stamp(rec.llStarted).c_str(), stamp(rec.llUpdated).c_str());
    std::string strReason = rec.strReason.empty() ? "" : " (" + rec.strReason + ")";
    printf("phase     %s%s\n", rec.strPhase.c_str(), strReason.c_str());
    if (!rec.strCurrent.empty()) printf("current   %s\n", rec.strCurrent.c_str());
    for (const auto& t : rec.vTargets) printf("%-9s %s\n", t.first.c_str(), t.second.c_str());
    printf("verdict   %s\n", rec.strVerdict.c_str());
    if (rec.strVerdict == "success") return 0;
    return rec.strVerdict == "failure" ? 1 : 2;
}
