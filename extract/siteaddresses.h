#pragma once
// The fixed addresses the program knows, in one place. Each can be replaced
// at start-up by an environment variable, so that tests and demonstrations
// run against a video site on 127.0.0.1:
//
//   LARKVALE_VIDEO_SITE           scheme and host of the get_video links
//   LARKVALE_GOOGLE_VIDEO_SERVER  scheme and host of the videodownload links
//   LARKVALE_START_PAGE           the browser's first page
//   LARKVALE_HOME_PAGE            the browser's home button
//   LARKVALE_SAMPLE_WATCH         the watch address shown after the first page loads
//   LARKVALE_WEB_SITE             the product web site
//   LARKVALE_SUPPORT_MAIL         the support e-mail address

#include <string>

namespace larkvale::extract {

struct SiteAddresses {
  std::string videoSite;
  std::string googleVideoServer;
  std::string startPage;
  std::string homePage;
  std::string sampleWatch;
  std::string webSite;
  std::string supportMail;

  static SiteAddresses Defaults();
  // Defaults overridden by the environment.
  static SiteAddresses FromEnvironment();
};

// Domain names the clipboard pick-up looks for.
inline constexpr const char* kVideoSiteDomain = "youtube.com";
inline constexpr const char* kGoogleVideoDomain = "video.google.com";

}  // namespace larkvale::extract
