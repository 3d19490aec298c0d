// One copy per user: a second copy asks the first to raise its window and ends.
#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <future>

#include "tests/ui/qt_test_env.h"

namespace halvern::app {
namespace {

// Runs `ask` on another thread while this thread answers through its event loop.
bool AskFromAnotherThread(const SingleInstance& second) {
  auto answer = std::async(std::launch::async, [&second] { return second.AskFirstToRaise(3000); });
  while (answer.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
    QCoreApplication::processEvents();
  }
  return answer.get();
}

TEST(SingleInstance, SecondCopyAsksTheFirstToRaiseItsWindow) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  int raised = 0;
  bool hasWindow = true;
  SingleInstance first("halvern", folder.path());
  ASSERT_TRUE(first.Acquire([&] {
    ++raised;
    return hasWindow;
  }));

  SingleInstance second("halvern", folder.path());
  EXPECT_FALSE(second.Acquire([] { return true; }));
  EXPECT_TRUE(AskFromAnotherThread(second));
  EXPECT_EQ(raised, 1);

  hasWindow = false;  // the first copy has no window yet: the second must say so itself
  EXPECT_FALSE(AskFromAnotherThread(second));
  EXPECT_EQ(raised, 2);
}

TEST(SingleInstance, NobodyToAskWhenNoCopyRuns) {
  QTemporaryDir folder;
  SingleInstance lone("halvern", folder.path());
  EXPECT_FALSE(lone.AskFirstToRaise(200));
  // A copy that ended leaves its lock behind; the next copy takes it over.
  {
    SingleInstance ended("halvern", folder.path());
    ASSERT_TRUE(ended.Acquire([] { return true; }));
  }
  SingleInstance next("halvern", folder.path());
  EXPECT_TRUE(next.Acquire([] { return true; }));
}

// The real program twice: the second start ends at once with 0 (it shows no box, which
// would block it), and the first keeps running.
TEST(SingleInstance, SecondStartOfTheProgramEndsAndLeavesTheFirstRunning) {
  QTemporaryDir runtime, data;
  ASSERT_TRUE(runtime.isValid() && data.isValid());
  QFile::setPermissions(runtime.path(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_RUNTIME_DIR", runtime.path());
  env.insert("XDG_DATA_HOME", data.path());
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("USBMUXD_SOCKET_ADDRESS", "UNIX:" + runtime.path() + "/no-usbmuxd");
  env.insert("ASAN_OPTIONS", "detect_leaks=0");
  const QString program = QStringLiteral(HALVERN_BIN_DIR "/halvern");

  QProcess first;
  first.setProcessEnvironment(env);
  first.start(program);
  ASSERT_TRUE(first.waitForStarted(10000));
  // Wait until the first copy listens.
  for (int i = 0; i < 400 && !QFile::exists(runtime.path() + "/halvern.sock"); ++i) {
    QThread::msleep(25);
  }
  ASSERT_TRUE(QFile::exists(runtime.path() + "/halvern.sock"));
  QThread::msleep(500);  // the window is up once the loop turns

  QProcess second;
  second.setProcessEnvironment(env);
  second.start(program);
  ASSERT_TRUE(second.waitForFinished(20000)) << "the second copy did not end";
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(first.state(), QProcess::Running);
  first.terminate();
  first.waitForFinished(10000);
}

}  // namespace
}  // namespace halvern::app
