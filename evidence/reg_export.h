// Reader of registry export files (.reg) into the classes trees of both sides.
//
// Accepted: the "REGEDIT4" and "Windows Registry Editor Version 5.00" headers (blank lines and
// ';' comments may come before them); UTF-16LE with BOM, UTF-8 with or without BOM, or 8-bit
// text in the ANSI code page (a file that is valid UTF-8 is read as UTF-8); CRLF, LF or CR line
// ends.
//
// Lines: [path] opens a key (repeated sections of one key are merged), [-path] deletes that key
// and everything read below it so far; "name"="text", @=..., "name"=dword:1-8 hex digits,
// "name"=hex:.. (REG_BINARY), "name"=hex(N):.. for any type N (hexadecimal), "name"=- deletes
// the value. Hex data may go on over lines ending in '\'. In strings and names \\ and \" stand
// for themselves, \n \r and \0 for LF, CR and NUL; a backslash before any other character is
// kept as written. Strings become REG_SZ as UTF-16LE with a terminating NUL. In a REGEDIT4 file
// the data of hex(2) and hex(7) are ANSI bytes and are converted to UTF-16LE; every other hex(N),
// and all of them in version 5 files, are taken as written. NUL padding at the end of the file is
// ignored; a NUL character anywhere else is an error.
//
// Where keys go: HKEY_CLASSES_ROOT\X and HKEY_LOCAL_MACHINE\SOFTWARE\Classes\X to the machine's X,
// HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\Classes\X to the machine's Wow6432Node\X,
// HKEY_CURRENT_USER\Software\Classes\X, HKEY_USERS\<name>_Classes\X and
// HKEY_USERS\<name>\Software\Classes\X to the user's X, and the user's Software\Wow6432Node\Classes
// to the user's Wow6432Node (short forms HKCR, HKLM, HKCU, HKU too; all case-insensitive). Keys
// elsewhere are skipped with their values; deleting an ancestor of a classes root (such as
// [-HKEY_LOCAL_MACHINE\SOFTWARE]) clears what was read below it.
//
// The user side is one user's: HKEY_CURRENT_USER, or one <name> under HKEY_USERS (its
// <name>_Classes and <name>\Software\Classes alike; .DEFAULT is a name too). A file with [key]
// sections of more than one user, even ones it deletes again later, is an error naming them;
// HKEY_CURRENT_USER and a name under HKEY_USERS are two users, as nothing tells whether the
// current user is that one. Each user's keys are kept apart: deleting one user's keys leaves
// another's, and a user the file only deletes keys of is not one of its users.
//
// Names compare without regard to case for ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and
// full-width Latin letters (other characters exactly), as the in-memory registry compares them. A
// repeated value replaces the earlier one in its place, which keeps its first spelling. Keys and
// values stay in first-seen order.
//
// Hostile input: time and memory grow linearly with the file (keys and values are found through
// hash indexes, deletions only mark); a key deeper than REG_EXPORT_MAX_DEPTH levels below the
// classes root is an error, and so is running out of memory.
#pragma once

#include "classes/source_tree.h"

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t REG_EXPORT_MAX_DEPTH = 512;

// The classes a .reg export holds, per side, as trees rooted at the classes root (whose name is
// empty; its children are such as "CLSID" and "Wow6432Node"); the user side is that of the file's
// one user. has_machine / has_user are true when at least one [key] section (not a deletion) lay
// on that side, even if later deleted.
struct RegExportClasses {
    bool has_machine = false;
    bool has_user = false;
    SourceKey machine;
    SourceKey user;
};

// True when `head` (the first bytes of a file; 4096 are plenty) starts, after an optional BOM and
// any blank or ';' comment lines, with a registry export header.
bool looks_like_reg_export(std::string_view head);

// Parses a whole .reg file; `code_page` (932 or 1252) is the ANSI code page of 8-bit text and of
// REGEDIT4 hex(2)/hex(7) data. On failure returns false, leaves `out` empty and sets `error` to one
// line such as "line 12: unterminated string" or, for a file with the classes of several users,
// "holds the classes of more than one user (S-1-5-21-...-1001, S-1-5-21-...-1002); export one
// user's classes at a time" (the caller adds the file name).
bool read_reg_export(const std::string &bytes, unsigned code_page, RegExportClasses &out,
                     std::string &error);
