// Entry of clsid-bare-scan.exe: the scan with the bare in-process server rule.
#include "barescan/bare_server_rule.h"
#include "scanframe/program_entry.h"

int PROGRAM_ENTRY_CALL WinMain(HINSTANCE__ *, HINSTANCE__ *, char *, int) {
    return scan_main(bare_server_rule);
}
