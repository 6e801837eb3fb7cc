// Test-only Windows program on the scan frame: lists every class's description, for the Wine rig.
#include "scanframe/program_entry.h"
#include "tests/list_descriptions.h"

int PROGRAM_ENTRY_CALL WinMain(HINSTANCE__ *, HINSTANCE__ *, char *, int) {
    return scan_main(list_every_description);
}
