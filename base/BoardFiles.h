// Files the agent opens, writes or removes as root in directories that other
// local users can write (the home directory, the staging directory): nothing
// here follows a link planted there or waits on a FIFO or a device.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

// Closes a FILE when its owner goes, whichever way the function ends.
struct Board_FileCloser {
    void operator()(FILE* i_fp) const { fclose(i_fp); }
};
typedef std::unique_ptr<FILE, Board_FileCloser> Board_FilePtr;

// Opens a regular file for reading without following a link and without
// waiting on a FIFO or device. Returns the descriptor; -1 when nothing can be
// opened there (errno kept, nothing logged: the caller tells it its own way);
// -2 when something else stands there (a link, FIFO, device, directory),
// refused with one "######" line.
int Board_OpenRegular(const char* i_pPath);
// True when the path itself, not a link, is a regular file.
bool Board_IsRegular(const char* i_pPath);
// Removes what stands at the path (trailing slashes are ignored): a real
// directory with everything below it, anything else (a link included) as a
// name only. Returns 0, also when nothing was there, or -1.
int Board_RemovePath(const char* i_pPath);
// Opens a log file to be written from its start: created 0600 when missing;
// refused with one "######" line (-1) when it is a link, not a regular file,
// or has another name elsewhere. Never truncates anything it refuses.
int Board_OpenLog(const char* i_pPath);
// Runs a program found in PATH, without a shell: stdin from i_fdIn, stdout and
// stderr to i_fdOut (/dev/null for a negative descriptor). With o_pOut, stdout
// is captured there instead, at most i_maxOut bytes when that is not 0: a
// program that prints more is killed and -2 returned. Returns the wait status,
// or -1 when it did not run. With the profile's pfnShell set, the command line
// goes to it instead.
int Board_Spawn(const std::vector<std::string>& i_argv, int i_fdIn, int i_fdOut, std::string* o_pOut = nullptr,
                size_t i_maxOut = 0);
// Makes sure a directory of root's own exists at the path (its missing
// parents too, 0755): a real directory, owned by this user and writable by
// nobody else. Returns 0, or -1 with one "######" line when something else
// stands there.
int Board_EnsureOwnDir(const char* i_pPath);
// Replaces the file at the path whole: the bytes go to a new file beside it
// (created exclusively, never through a link), which is synced and renamed
// over the path; the directory is synced after. Returns 0, or -1 with one
// "######" line (nothing of the old file is lost then).
int Board_ReplaceFile(const char* i_pPath, const void* i_pData, size_t i_len, unsigned i_uMode);
