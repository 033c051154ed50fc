// Qt's warnings of an object used, stopped or destroyed on a thread it does
// not live on fail the test that caused them: the fault they announce (a
// timer left registered for an object already gone, say) crashes only
// later, often in another test or not at all within a short run.
#include <QString>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler g_previous = nullptr;
std::atomic<bool> g_testsOver{false};

void FailOnThreadWarning(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    g_previous(type, context, text);
    if (!text.contains(QLatin1String("from another thread")) && !text.contains(QLatin1String("different thread")))
        return;
    if (!g_testsOver) {
        ADD_FAILURE() << "Qt thread warning: " << text.toStdString();
        return;
    }
    // Past the last test nothing reports a failure but the exit status.
    std::fprintf(stderr, "Qt thread warning after the tests: %s\n", text.toLocal8Bit().constData());
    std::_Exit(1);
}

class TestsOver : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest&) override { g_testsOver = true; }
};

[[maybe_unused]] const bool installed = [] {
    g_previous = qInstallMessageHandler(FailOnThreadWarning);
    ::testing::UnitTest::GetInstance()->listeners().Append(new TestsOver);
    return true;
}();

}  // namespace
