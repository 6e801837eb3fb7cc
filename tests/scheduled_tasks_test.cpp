// Reading a scheduled task's COM handler: UTF-16 as Windows writes it, and hostile XML refused.
#include "evidence/scheduled_tasks.h"

#include <gtest/gtest.h>

namespace {

std::string utf16le(const std::string &ascii) {
    std::string out = "\xff\xfe";
    for (char c : ascii)
        out += std::string{c, '\0'};
    return out;
}

const char TASK[] = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
                    "<Task version=\"1.2\" "
                    "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
                    "<Actions Context=\"Author\"><Exec><Command>x.exe</Command></Exec>"
                    "<ComHandler><ClassId> {0F87369F-A4E5-4CFC-BD3E-73E6154572DD} </ClassId>"
                    "<Data>x</Data></ComHandler></Actions></Task>";

TEST(ScheduledTasks, ComHandlerClassOfUtf16AndUtf8Tasks) {
    for (const std::string &xml : {utf16le(TASK), std::string(TASK).replace(30, 6, "UTF-8")}) {
        std::vector<std::string> classes;
        EXPECT_TRUE(task_com_handlers(xml, classes));
        EXPECT_EQ(classes, std::vector<std::string>{"{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}"});
    }
}

TEST(ScheduledTasks, DeclarationsBrokenXmlAndOtherDocumentsGiveNothing) {
    const std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE Task [<!ENTITY a \"aaaaaaaaaa\">"
                               "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                               "<Task><Actions><ComHandler><ClassId>&b;</ClassId></ComHandler>"
                               "</Actions></Task>";
    const std::string outside = "<?xml version=\"1.0\"?><!DOCTYPE Task SYSTEM \"http://x/t.dtd\">"
                                "<Task/>";
    for (const std::string &xml :
         {laughs, utf16le(laughs), outside, std::string(TASK).substr(0, 200),
          std::string("<Other><Actions><ComHandler><ClassId>{0F87369F-A4E5-4CFC-BD3E-"
                      "73E6154572DD}</ClassId></ComHandler></Actions></Other>"),
          std::string(MOST_TASK_FILE_BYTES + 1, ' ')}) {
        std::vector<std::string> classes;
        EXPECT_FALSE(task_com_handlers(xml, classes));
        EXPECT_TRUE(classes.empty());
    }
}

} // namespace
