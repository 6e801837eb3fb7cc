// The main routine both scanners run: walk the classes, show the result, offer the clipboard copy.
#include "scanframe/scanframe.h"

#include <cstring>

// The messages are Shift_JIS (code page 932) bytes, written as escapes so that no editor or
// compiler setting can change them.
const char BOX_CAPTION[] = "tovrik";
// "メモリが確保できなかった。"
const char TEXT_OUT_OF_MEMORY[] = "\x83\x81\x83\x82\x83\x8a\x82\xaa\x8a\x6d\x95\xdb\x82\xc5\x82\xab"
                                  "\x82\xc8\x82\xa9\x82\xc1\x82\xbd\x81\x42";
// "見つかりませんでした。"
const char TEXT_NOTHING_FOUND[] = "\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x82\xc5"
                                  "\x82\xb5\x82\xbd\x81\x42";
// "クリップボードにコピーしますか？"
const char TEXT_COPY_QUESTION[] =
    "\x83\x4e\x83\x8a\x83\x62\x83\x76\x83\x7b\x81\x5b\x83\x68\x82\xc9"
    "\x83\x52\x83\x73\x81\x5b\x82\xb5\x82\xdc\x82\xb7\x82\xa9\x81\x48";

// Copies the report with its NUL into a new global block. Returns NULL, holding nothing, when the
// block cannot be allocated or locked.
static GlobalBlock copy_to_global_block(const ReportText &report) {
    GlobalBlock block = global_alloc(GLOBAL_MOVEABLE_SHARE, report.length + 1);
    if (!block)
        return nullptr;
    void *locked = global_lock(block);
    if (!locked) {
        global_free(block);
        return nullptr;
    }
    std::memcpy(locked, report.text, report.length + 1);
    global_unlock(block);
    return block;
}

// Offers the block to the clipboard as CF_OEMTEXT. The block belongs to the clipboard once it
// is accepted; otherwise it is freed here.
static void hand_to_clipboard(GlobalBlock block) {
    if (!clipboard_open()) {
        global_free(block);
        return;
    }
    clipboard_empty();
    bool accepted = clipboard_set_data(CLIPBOARD_FORMAT_OEMTEXT, block);
    clipboard_close();
    if (!accepted)
        global_free(block);
}

// Shows what the walk found and, on Yes, copies the list (without the question) to the clipboard.
static void present_report(ReportText &report) {
    if (report.length == 0) {
        message_box(TEXT_NOTHING_FOUND, BOX_CAPTION, BOX_OK);
        return;
    }
    GlobalBlock block = copy_to_global_block(report);
    if (!block)
        return;
    // When the question cannot be appended the list is shown without it, with the same buttons.
    append_text(report, TEXT_COPY_QUESTION);
    if (message_box(report.text, BOX_CAPTION, BOX_YESNO_DEFAULT_NO) == BOX_ANSWER_YES)
        hand_to_clipboard(block);
    else
        global_free(block);
}

int scan_main(ClassRule rule) {
    ReportText report;
    if (!report_create(report)) {
        message_box(TEXT_OUT_OF_MEMORY, BOX_CAPTION, BOX_OK);
        return 0;
    }
    RunHandles handles = {nullptr, nullptr, nullptr, nullptr};
    if (walk_classes(rule, report, handles))
        present_report(report);
    close_all_keys(handles);
    report_release(report);
    return 0;
}
