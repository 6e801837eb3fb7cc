// The names of the references that make Windows load a class.
#include "evidence/class_loaders.h"

const char *loader_kind_name(LoaderKind kind) {
    switch (kind) {
    case LoaderKind::Profiler:
        return "profiler";
    case LoaderKind::AmsiProvider:
        return "amsi-provider";
    case LoaderKind::CredentialProvider:
        return "credential-provider";
    case LoaderKind::DelayLoad:
        return "delay-load";
    case LoaderKind::ScheduledTask:
        return "scheduled-task";
    case LoaderKind::ShellExecuteHook:
        return "shell-execute-hook";
    case LoaderKind::BrowserHelper:
        return "browser-helper";
    case LoaderKind::IconOverlay:
        return "icon-overlay";
    case LoaderKind::ShellHandler:
        return "shell-handler";
    case LoaderKind::ApprovedExtension:
        return "approved-extension";
    }
    return "?";
}

bool is_clsid_text(const std::string &text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (std::size_t i = 1; i < 37; i++) {
        char c = text[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex)
            return false;
    }
    return true;
}
