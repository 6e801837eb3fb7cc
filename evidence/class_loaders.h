// The places in a machine's and a user's registry that make Windows load a class: autostart
// references by CLSID, read from hive files.
#pragma once

#include "hive/hive_source.h"

#include <string>
#include <string_view>
#include <vector>

// What kind of reference loads the class.
enum class LoaderKind {
    Profiler,           // COR_PROFILER / CORECLR_PROFILER with profiling enabled
    AmsiProvider,       // Microsoft\AMSI\Providers
    CredentialProvider, // Authentication\Credential Providers and Credential Provider Filters
    DelayLoad,          // ShellServiceObjectDelayLoad
    ScheduledTask,      // a scheduled task's COM handler action
    ShellExecuteHook,   // Explorer\ShellExecuteHooks
    BrowserHelper,      // Explorer\Browser Helper Objects
    IconOverlay,        // Explorer\ShellIconOverlayIdentifiers
    ShellHandler,       // a shellex handler of *, Directory, Folder, Drive or a file class
    ApprovedExtension,  // Shell Extensions\Approved
};

// "profiler", "amsi-provider", "credential-provider", "delay-load", "scheduled-task",
// "shell-execute-hook", "browser-helper", "icon-overlay", "shell-handler", "approved-extension"
const char *loader_kind_name(LoaderKind kind);

// One reference: the class it names, on whose side, where and by which value.
struct ClassLoader {
    std::string clsid; // "{...}" as the evidence writes it
    LoaderKind kind = LoaderKind::ShellHandler;
    bool user = false;    // the user's registry (HKCU) rather than the machine's (HKLM)
    bool in_file = false; // `place` is a file inside the ROOT rather than a registry key
    std::string place;    // "HKLM\SOFTWARE\...", "HKCU\Environment", or the file
    std::string value;    // the value that names the class ("(default)" for a key's default)
};

// Whether `text` is a CLSID in braces.
bool is_clsid_text(const std::string &text);

// Appends the references that the hive file `path`, of `kind`, holds: for SOFTWARE and
// NTUSER.DAT the Explorer, AMSI and credential provider keys (and their Wow6432Node twins), the
// user's Environment for NTUSER.DAT, and for every kind the shellex handlers of its classes.
// The hive is read as it is on disk (its logs are not replayed). A file libhivex cannot open is
// an error naming it.
bool read_hive_loaders(const std::string &path, HiveKind kind, std::vector<ClassLoader> &out,
                       std::string &error);

// The same for a hive already read into memory, such as one recovered from its logs; `path`
// names it in messages.
bool read_hive_image_loaders(const std::string &path, std::string_view image, HiveKind kind,
                             std::vector<ClassLoader> &out, std::string &error);

// The same for a SYSTEM hive: the profiler variables of its current control set's environment.
bool read_system_loaders(const std::string &path, std::vector<ClassLoader> &out,
                         std::string &error);
