// A WebM of ours plays in a browser's own decoder (QtWebEngine's): the
// format is meant for browsers and video sites, so their word counts.
#include "engine/engine_media.h"
#include "engine/videoenginecore.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <gtest/gtest.h>

namespace larkvale::enginetest {
namespace {

using namespace larkvale::engine;

// Runs `script` in `page` and waits for its result as text.
QString Evaluate(QWebEnginePage& page, const QString& script) {
  QString result;
  bool done = false;
  QEventLoop loop;
  page.runJavaScript(script, [&](const QVariant& v) {
    result = v.toString();
    done = true;
    loop.quit();
  });
  QTimer::singleShot(5000, &loop, &QEventLoop::quit);
  if (!done) loop.exec();
  return result;
}

TEST(WebMInABrowser, QtWebEnginePlaysTheWebMWeWrite) {
  const EngineMedia& m = Media();
  const std::string dir = FreshDir("webm-browser");
  VideoEngineCore e;
  const QString source = QString::fromStdString(m.flv);
  const double d = e.GetFileDuration(source);
  ASSERT_TRUE(e.AddVideo(source, 0, d, 0));
  ASSERT_TRUE(e.AddAudio(source, 0, d));
  e.OutputType = otWebM;
  e.VideoQuality = 32;
  e.AudioBitrate = 128000;
  const QString webm = QString::fromStdString(dir + "/clip.webm");
  ASSERT_TRUE(e.SaveTimeline(webm)) << e.LastError().toStdString();
  const QString html = QString::fromStdString(dir + "/play.html");
  QFile page(html);
  ASSERT_TRUE(page.open(QIODevice::WriteOnly));
  page.write("<!doctype html><video id=v src=\"clip.webm\" muted></video>");
  page.close();

  QWebEnginePage browser;
  browser.settings()->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
  browser.settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
  bool loaded = false;
  QEventLoop wait;
  QObject::connect(&browser, &QWebEnginePage::loadFinished, &wait, [&](bool ok) {
    loaded = ok;
    wait.quit();
  });
  QTimer::singleShot(15000, &wait, &QEventLoop::quit);
  browser.load(QUrl::fromLocalFile(html));
  wait.exec();
  ASSERT_TRUE(loaded);
  Evaluate(browser, QStringLiteral("document.getElementById('v').play(); 1"));
  // Width, the error code (0: none) and how far it has played.
  QString state;
  for (int i = 0; i < 100; ++i) {
    state = Evaluate(browser, QStringLiteral("(function(){var v=document.getElementById('v');"
                                             "return [v.videoWidth, v.error ? v.error.code : 0, v.currentTime].join(',');})()"));
    const QStringList parts = state.split(QLatin1Char(','));
    if (parts.size() == 3 && (parts[1] != "0" || parts[2].toDouble() > 0.5)) break;
    QEventLoop pause;
    QTimer::singleShot(100, &pause, &QEventLoop::quit);
    pause.exec();
  }
  const QStringList parts = state.split(QLatin1Char(','));
  ASSERT_EQ(parts.size(), 3) << state.toStdString();
  EXPECT_EQ(parts[0], "320") << state.toStdString();
  EXPECT_EQ(parts[1], "0") << "the browser could not decode it: " << state.toStdString();
  EXPECT_GT(parts[2].toDouble(), 0.5) << state.toStdString();
}

}  // namespace
}  // namespace larkvale::enginetest
