// live_environment where there is no running Windows machine to read (the Linux build).
#include "files/server_file.h"

bool live_environment(Environment &, std::string &error) {
    error = "the running machine's environment is read by clsid-scan.exe on Windows";
    return false;
}
