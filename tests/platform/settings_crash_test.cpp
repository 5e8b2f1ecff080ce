// A settings write killed at any moment (SIGKILL, so nothing runs on the way
// out) must leave either the old or the new file, never a mix or a stub, and
// the next start must read it and write again as usual.
//
// The writer is this same test executable started afresh (fork + exec with an
// environment variable), so the child is a clean process rather than a copy
// of one with Qt's threads running.
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using larkvale::platform::SettingsAccessor;

const char kWriterVar[] = "LARKVALE_SETTINGS_WRITER";  // "<settings file>:<ready fd>"
const char kKey[] = "Software\\Larkvale_HD";
const char kThisTest[] = "SettingsCrash.AKillDuringAnyWriteLeavesTheOldOrTheNewFile";

// Big enough that a kill lands inside a write often, not only between two.
QString Value(char c) { return QString(256 * 1024, QChar(c)); }

// The child: writes the two values in turn until it is killed. Tells the
// parent after the first complete write.
[[noreturn]] void RunWriter(const std::string& job) {
  const size_t colon = job.rfind(':');
  const QString file = QString::fromStdString(job.substr(0, colon));
  const int readyFd = std::atoi(job.c_str() + colon + 1);
  SettingsAccessor accessor(file);
  accessor.OpenKey(kKey, false);
  for (long i = 0;; ++i) {
    accessor.WriteString("videodir", Value(i % 2 ? 'a' : 'b'));
    if (i == 0) {
      const char ready = 'r';
      (void)!::write(readyFd, &ready, 1);
      ::close(readyFd);
    }
  }
}

// Starts the writer on `file`; returns its pid once it has written once, or
// -1 when it did not within 20 s (then it has been killed and reaped).
pid_t StartWriter(const QString& file) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const std::string env = std::string(kWriterVar) + "=" + file.toStdString() + ":" + std::to_string(fds[1]);
  const std::string filter = std::string("--gtest_filter=") + kThisTest;
  // Everything the child needs is prepared before fork: only exec-safe calls after it.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind(std::string(kWriterVar) + "=", 0) != 0) envStrings.emplace_back(*e);
  envStrings.push_back(env);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::vector<char*> argv{self.data(), const_cast<char*>(filter.c_str()), nullptr};
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    ::execve("/proc/self/exe", argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  ::close(devNull);
  pollfd p{fds[0], POLLIN, 0};
  char ready = 0;
  const bool ok = pid > 0 && ::poll(&p, 1, 20000) == 1 && ::read(fds[0], &ready, 1) == 1 && ready == 'r';
  ::close(fds[0]);
  if (!ok && pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

TEST(SettingsCrash, AKillDuringAnyWriteLeavesTheOldOrTheNewFile) {
  if (const char* job = std::getenv(kWriterVar)) RunWriter(job);

  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString file = larkvale::platform::SettingsFilePath(root.path());
  QDir().mkpath(QFileInfo(file).absolutePath());
  {
    // A line the program does not know must survive every rewrite too.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Software\\Larkvale_HD]\n\"other\"=dword:00000001\n\"videodir\"=\"start\"\n");
  }

  int kills = 0;
  for (int round = 0; round < 8; ++round) {
    const pid_t pid = StartWriter(file);
    ASSERT_GT(pid, 0) << "the writer did not start";
    // Spread the kills over the write cycle.
    ::usleep(static_cast<useconds_t>(round * 1700));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round;
    ++kills;

    SettingsAccessor next(file);
    ASSERT_TRUE(next.OpenKey(kKey, false)) << "round " << round;
    const QString value = next.ReadString("videodir");
    EXPECT_TRUE(value == Value('a') || value == Value('b'))
        << "round " << round << ": " << value.size() << " characters, starting " << value.left(8).toStdString();
    EXPECT_TRUE(next.ValueExists("other")) << "round " << round;

    // What a kill can leave: only the writer's own temporary files beside it.
    const QStringList names = QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files);
    for (const QString& name : names)
      EXPECT_TRUE(name == "settings.ini" || name.startsWith("settings.ini.")) << name.toStdString();

    // The next start writes as usual.
    next.WriteString("videodir", "after");
    EXPECT_EQ(SettingsAccessor(file).OpenKey(kKey, false) ? next.ReadString("videodir") : QString(), "after");
  }
  EXPECT_EQ(kills, 8);
}

}  // namespace
