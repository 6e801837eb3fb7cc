// Entry of clsid-name-scan.exe: the scan with the random class-name rule.
#include "namescan/random_name_rule.h"
#include "scanframe/program_entry.h"

int PROGRAM_ENTRY_CALL WinMain(HINSTANCE__ *, HINSTANCE__ *, char *, int) {
    return scan_main(random_name_rule);
}
