#include "extract/siteaddresses.h"

#include <cstdlib>

namespace larkvale::extract {
namespace {

void Override(std::string& value, const char* variable) {
  if (const char* text = std::getenv(variable); text != nullptr && *text != '\0') value = text;
}

}  // namespace

SiteAddresses SiteAddresses::Defaults() {
  SiteAddresses a;
  a.videoSite = "http://www.youtube.com";
  a.googleVideoServer = "http://vp.video.google.com";
  a.startPage = "http://www.youtube.com/";
  a.homePage = "http://www.youtube.com/";
  a.sampleWatch = "http://www.youtube.com/watch?v=jNQXAC9IVRw";
  a.webSite = "http://larkvale.example/";
  a.supportMail = "support@larkvale.example";
  return a;
}

SiteAddresses SiteAddresses::FromEnvironment() {
  SiteAddresses a = Defaults();
  Override(a.videoSite, "LARKVALE_VIDEO_SITE");
  Override(a.googleVideoServer, "LARKVALE_GOOGLE_VIDEO_SERVER");
  Override(a.startPage, "LARKVALE_START_PAGE");
  Override(a.homePage, "LARKVALE_HOME_PAGE");
  Override(a.sampleWatch, "LARKVALE_SAMPLE_WATCH");
  Override(a.webSite, "LARKVALE_WEB_SITE");
  Override(a.supportMail, "LARKVALE_SUPPORT_MAIL");
  return a;
}

}  // namespace larkvale::extract
