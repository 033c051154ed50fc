// Crash library tools: OS classification, versions, ticks, modules and the
// undecorating of public names.
#include <gtest/gtest.h>

#include <gnu/libc-version.h>

#include "crash/zel_tools.h"

using namespace zelTools;

TEST(ZelTools, DemangleName) {
    struct Case {
        const char *in, *name, *unit;
        bool decorated;
    } cases[] = {
        {"@Smtp@TFrmSMTP@SMTPServerClientRead$qqrp7TObjectp15Sockets@TClient", "TFrmSMTP.SMTPServerClientRead", "Smtp", true},
        {"@Procs@SetStatus$qqrx11Texts@TTexto", "SetStatus", "Procs", true},
        {"@Zelzip@TZipStream@$bctr$qqrv", "TZipStream.Create", "Zelzip", true},
        {"@Zelzip@TZipStream@$bdtr$qqrv", "TZipStream.Destroy", "Zelzip", true},
        {"@Unit@Outer@Inner@Run$qv", "Outer.Inner.Run", "Unit", true},
        {"@Unit@Plain", "Plain", "Unit", true},
        {"@%DynArray$i%@Add$qqri", ".Add", "", true},
        {"@%Pair$ii%@%List$i%@Item@Get$qv", ".Item.Get", "", true},
        {"TClass::Method", "TClass.Method", "", false},
        {"_main", "_main", "", false},
        {"", "", "", false},
    };
    for (const auto& c : cases) {
        std::string name = c.in, unit = "stale";
        EXPECT_EQ(DemangleName(name, unit), c.decorated) << c.in;
        EXPECT_EQ(name, c.name) << c.in;
        EXPECT_EQ(unit, c.unit) << c.in;
    }
}

TEST(ZelTools, OsClassification) {
    struct Case {
        bool win9x;
        std::uint32_t major, minor, build;
        const char* sp;
        const char* description;
        std::uint32_t spNumber;
    } cases[] = {
        {true, 4, 0, 950, "", "Windows 95", 0},
        {true, 4, 0, 1111, "", "Windows 95 OSR-2", 0},
        {true, 4, 0, 0x10000 + 950, "", "Windows 95", 0},  // only the low 16 bits count
        {true, 4, 10, 1998, "", "Windows 98", 0},
        {true, 4, 10, 2222, "", "Windows 98 SE", 0},
        {true, 4, 10, 3000, "", "Windows ME", 0},
        {true, 4, 90, 3000, "", "Windows ME", 0},
        {true, 4, 91, 0, "", "Windows 9x New", 0},
        {true, 5, 0, 0, "", "Windows 9x New", 0},
        {true, 3, 95, 0, "", "None", 0},
        {false, 3, 51, 1057, "", "Windows NT 3", 0},
        {false, 4, 0, 1381, "Service Pack 6", "Windows NT 4 Service Pack 6", 6},
        {false, 5, 0, 2195, "", "Windows 2000", 0},
        {false, 5, 1, 2600, "Service Pack 2", "Windows XP Service Pack 2", 2},
        {false, 5, 2, 3790, "", "Windows 2003", 0},
        {false, 6, 0, 6000, "Service Pack 12", "Windows NT New Service Pack 12", 12},
        {false, 5, 1, 2600, "Service Pack", "Windows XP Service Pack", 0},
    };
    for (const auto& c : cases) {
        TOsVersion v;
        v.Win9x = c.win9x;
        v.WinNt = !c.win9x;
        v.Major = c.major;
        v.Minor = c.minor;
        v.Build = c.build;
        v.ServicePack = c.sp;
        ClassifyOsVersion(v);
        EXPECT_EQ(v.Description, c.description) << c.major << "." << c.minor << " " << c.build;
        EXPECT_EQ(v.ServicePackNumber, c.spNumber) << c.description;
        if (c.win9x) {
            EXPECT_LE(v.Build, 0xFFFFu);
        }
    }
    EXPECT_STREQ(OsName(12), "Windows NT New");
    EXPECT_STREQ(OsName(13), "None");

    TOsVersion here = OsVersion();
    EXPECT_FALSE(here.Win9x);
    EXPECT_FALSE(here.WinNt);
    EXPECT_FALSE(here.Description.empty());
    EXPECT_GT(here.Major, 0u);
    EXPECT_EQ(FreeResourcePercent(0), 0);
}

TEST(ZelTools, VersionsTicksAndModules) {
    EXPECT_EQ(VersionText(0x0001000200030004ull), "1.2.3.4");
    EXPECT_EQ(VersionText(0), "0.0.0.0");
    EXPECT_EQ(VersionText(0xFFFF000000000000ull), "65535.0.0.0");

    EXPECT_EQ(TicksBetween(100, 350), 250u);
    EXPECT_EQ(TicksBetween(0xFFFFFF00u, 0x100u), 0x200u);  // across the wrap-around
    std::uint32_t start = TickCount();
    EXPECT_LT(TicksSince(start), 60000u);

    std::uintptr_t handle = 0;
    std::string file;
    EXPECT_TRUE(ModuleOfAddress(reinterpret_cast<const void*>(&gnu_get_libc_version), handle, file));
    EXPECT_NE(handle, 0u);
    EXPECT_NE(file.find("libc"), std::string::npos) << file;
    int onStack = 0;
    EXPECT_FALSE(ModuleOfAddress(&onStack, handle, file));
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(file.empty());
    EXPECT_FALSE(ModuleOfAddress(nullptr, handle, file));
}
