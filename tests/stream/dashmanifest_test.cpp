#include "stream/dashmanifest.h"

#include <gtest/gtest.h>

namespace larkvale::stream {
namespace {

const std::string kBase = "http://cdn.test/d/manifest.mpd";

std::string Mpd(const std::string& periods, const std::string& extra = "") {
  return "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
         "mediaPresentationDuration=\"PT10S\"" + extra + ">" + periods + "</MPD>";
}

const std::string kLadder =
    "<Period><AdaptationSet contentType=\"video\" mimeType=\"video/mp4\">"
    "<SegmentTemplate media=\"$RepresentationID$/seg-$Number%03d$.m4s\" initialization=\"$RepresentationID$/init.mp4\" "
    "timescale=\"1000\" duration=\"4000\" startNumber=\"1\"/>"
    "<Representation id=\"v360\" bandwidth=\"600000\" width=\"640\" height=\"360\"/>"
    "<Representation id=\"v1080\" bandwidth=\"5000000\" width=\"1920\" height=\"1080\"/>"
    "<Representation id=\"v720\" bandwidth=\"2500000\" width=\"1280\" height=\"720\"/>"
    "</AdaptationSet>"
    "<AdaptationSet mimeType=\"audio/mp4\">"
    "<SegmentTemplate media=\"$RepresentationID$/$Number$.m4s\" initialization=\"$RepresentationID$/i.mp4\" duration=\"5\"/>"
    "<Representation id=\"a64\" bandwidth=\"64000\"/><Representation id=\"a128\" bandwidth=\"128000\"/>"
    "</AdaptationSet></Period>";

TEST(DashManifest, TemplateWithNumberAndHeightLimit) {
  const struct {
    int maxHeight;
    const char* id;
  } cases[] = {{kBestHeight, "v1080"}, {1080, "v1080"}, {720, "v720"}, {480, "v360"}, {240, "v360"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maxHeight);
    const StreamPlan plan = ParseDashManifest(Mpd(kLadder), kBase, c.maxHeight);
    ASSERT_EQ(plan.tracks.size(), 2u);
    const Track& v = plan.tracks[0];
    ASSERT_EQ(v.pieces.size(), 3u);  // 10 s in 4 s pieces
    EXPECT_EQ(v.pieces[0].where.url, "http://cdn.test/d/" + std::string(c.id) + "/seg-001.m4s");
    EXPECT_EQ(v.pieces[2].where.url, "http://cdn.test/d/" + std::string(c.id) + "/seg-003.m4s");
    EXPECT_DOUBLE_EQ(v.pieces[2].duration, 2);
    ASSERT_EQ(v.inits.size(), 1u);
    EXPECT_EQ(v.inits[0].url, "http://cdn.test/d/" + std::string(c.id) + "/init.mp4");
    const Track& a = plan.tracks[1];
    ASSERT_EQ(a.pieces.size(), 2u);
    EXPECT_EQ(a.pieces[1].where.url, "http://cdn.test/d/a128/2.m4s");
  }
}

TEST(DashManifest, TimelineWithTimeAndRepeats) {
  const std::string period =
      "<Period><AdaptationSet contentType=\"video\">"
      "<SegmentTemplate media=\"v_$Time$.m4s\" initialization=\"v_init.mp4\" timescale=\"90000\">"
      "<SegmentTimeline><S t=\"900\" d=\"360000\" r=\"1\"/><S d=\"180000\"/><S d=\"90000\" r=\"-1\"/></SegmentTimeline>"
      "</SegmentTemplate><Representation id=\"v\" bandwidth=\"1\" height=\"720\"/></AdaptationSet></Period>";
  const StreamPlan plan = ParseDashManifest(Mpd(period), kBase, kBestHeight);
  ASSERT_EQ(plan.tracks.size(), 1u);
  const auto& p = plan.tracks[0].pieces;
  // 4 + 4 + 2 s, then 1 s pieces until 10 s: nothing (the period is full).
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].where.url, "http://cdn.test/d/v_900.m4s");
  EXPECT_EQ(p[1].where.url, "http://cdn.test/d/v_360900.m4s");
  EXPECT_EQ(p[2].where.url, "http://cdn.test/d/v_720900.m4s");
  EXPECT_DOUBLE_EQ(p[2].duration, 2);
}

TEST(DashManifest, BaseUrlAtEveryLevelAndSegmentList) {
  const std::string mpd = Mpd(
      "<BaseURL>http://media.test/root/</BaseURL>"
      "<Period><BaseURL>p1/</BaseURL><AdaptationSet contentType=\"video\"><BaseURL>video/</BaseURL>"
      "<Representation id=\"r\" bandwidth=\"1\" height=\"480\"><BaseURL>r480/</BaseURL>"
      "<SegmentList timescale=\"10\" duration=\"20\"><Initialization sourceURL=\"init.mp4\" range=\"0-99\"/>"
      "<SegmentURL media=\"a.m4s\"/><SegmentURL media=\"b.m4s\" mediaRange=\"100-199\"/></SegmentList>"
      "</Representation></AdaptationSet></Period>");
  const StreamPlan plan = ParseDashManifest(mpd, kBase, kBestHeight);
  const Track& t = plan.tracks.at(0);
  ASSERT_EQ(t.pieces.size(), 2u);
  EXPECT_EQ(t.inits.at(0), (Resource{"http://media.test/root/p1/video/r480/init.mp4", 0, 100}));
  EXPECT_EQ(t.pieces[0].where, (Resource{"http://media.test/root/p1/video/r480/a.m4s", 0, -1}));
  EXPECT_EQ(t.pieces[1].where, (Resource{"http://media.test/root/p1/video/r480/b.m4s", 100, 100}));
  EXPECT_DOUBLE_EQ(t.pieces[0].duration, 2);
}

TEST(DashManifest, SegmentBaseAskedForItsIndex) {
  const std::string mpd = Mpd(
      "<Period><AdaptationSet contentType=\"audio\"><Representation id=\"a\" bandwidth=\"1\">"
      "<BaseURL>audio.mp4</BaseURL><SegmentBase indexRange=\"800-899\"><Initialization range=\"0-799\"/></SegmentBase>"
      "</Representation></AdaptationSet></Period>");
  const StreamPlan plan = ParseDashManifest(mpd, kBase, kBestHeight);
  const Track& t = plan.tracks.at(0);
  EXPECT_TRUE(t.pieces.empty());
  EXPECT_EQ(t.index, (Resource{"http://cdn.test/d/audio.mp4", 800, 100}));
  EXPECT_EQ(t.inits.at(0), (Resource{"http://cdn.test/d/audio.mp4", 0, 800}));
}

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

TEST(DashManifest, SidxListsByteRanges) {
  // A version 0 sidx: timescale 1000, first_offset 10, two references.
  std::string body = std::string("\0\0\0\0", 4) + Be32(1) + Be32(1000) + Be32(0) + Be32(10) + std::string("\0\0", 2) +
                     std::string("\0\2", 2) + Be32(5000) + Be32(4000) + Be32(0) + Be32(3000) + Be32(2000) + Be32(0);
  const std::string box = Be32(static_cast<std::uint32_t>(body.size() + 8)) + "sidx" + body;
  const std::string range = Be32(8) + "free" + box;  // another box first
  const auto pieces = ParseSidx(range, 800, "http://x.test/a.mp4");
  ASSERT_EQ(pieces.size(), 2u);
  const std::int64_t anchor = 800 + static_cast<std::int64_t>(range.size());
  EXPECT_EQ(pieces[0].where, (Resource{"http://x.test/a.mp4", anchor + 10, 5000}));
  EXPECT_EQ(pieces[1].where, (Resource{"http://x.test/a.mp4", anchor + 10 + 5000, 3000}));
  EXPECT_DOUBLE_EQ(pieces[0].duration, 4);
  for (std::size_t cut = 0; cut < range.size(); cut += 7) {
    SCOPED_TRACE(cut);
    EXPECT_THROW(ParseSidx(range.substr(0, cut), 0, "http://x.test/a.mp4"), StreamError);
  }
}

TEST(DashManifest, RefusesLiveProtectedAndBroken) {
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {Mpd(kLadder, " type=\"dynamic\"").replace(Mpd(kLadder).find("type=\"static\""), 13, ""), "dynamic"},
      {Mpd("<Period><AdaptationSet contentType=\"video\"><ContentProtection schemeIdUri=\"urn:x\"/>"
           "<Representation id=\"v\" bandwidth=\"1\"/></AdaptationSet></Period>"),
       "DRM"},
      {Mpd("<Period><AdaptationSet contentType=\"text\"><Representation id=\"t\"/></AdaptationSet></Period>"),
       "no video or audio"},
      {"<html><body>nope</body></html>", "not a DASH manifest"},
      {"<MPD><Period>", "does not parse"},
      {Mpd("<Period><AdaptationSet contentType=\"video\"><SegmentTemplate media=\"$Foo$\" duration=\"1\"/>"
           "<Representation id=\"v\" bandwidth=\"1\"/></AdaptationSet></Period>"),
       "unknown template tag"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseDashManifest(c.text, kBase, kBestHeight);
      ADD_FAILURE() << "accepted";
    } catch (const StreamError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(DashManifest, ReadWithinBoundsThatLeaveRoomForRealManifests) {
  const std::string period =
      "<Period duration=\"PT2S\"><AdaptationSet contentType=\"video\"><Representation id=\"v\" bandwidth=\"1\">"
      "<BaseURL>v.mp4</BaseURL></Representation></AdaptationSet></Period>";
  auto templated = [](const std::string& length) {
    return Mpd("<Period><AdaptationSet contentType=\"video\"><SegmentTemplate media=\"$Number$.m4s\" duration=\"1\"/>"
               "<Representation id=\"v\" bandwidth=\"1\"/></AdaptationSet></Period>")
        .replace(Mpd("").find("PT10S"), 5, length);
  };
  const std::string timeline50k =
      Mpd("<Period><AdaptationSet contentType=\"video\"><SegmentTemplate media=\"$Time$.m4s\"><SegmentTimeline>" +
          Repeat("<S d=\"2\"/>", 50000) +
          "</SegmentTimeline></SegmentTemplate><Representation id=\"v\" bandwidth=\"1\"/></AdaptationSet></Period>")
          .replace(Mpd("").find("PT10S"), 5, "PT100000S");
  const struct {
    const char* name;
    std::string text;
    std::size_t pieces;     // when it is read
    const char* refusal;    // when it is not
  } cases[] = {
      {"1000 periods", Mpd(Repeat(period, 1000)), 1000, nullptr},
      {"1001 periods", Mpd(Repeat(period, 1001)), 0, "The DASH manifest has more than 1000 periods."},
      {"100000 segments", templated("PT100000S"), 100000, nullptr},
      {"100001 segments", templated("PT100001S"), 0, "The DASH manifest lists more than 100000 segments for one track."},
      {"a timeline of 50000 entries", timeline50k, 50000, nullptr},
      {"32 levels", Mpd(Repeat("<x>", 31) + Repeat("</x>", 31) + period), 1, nullptr},
      {"33 levels", Mpd(Repeat("<x>", 32) + Repeat("</x>", 32) + period), 0,
       "The DASH manifest is nested more than 32 elements deep."},
      {"60000 levels without an end", "<MPD>" + Repeat("<a>", 60000), 0,
       "The DASH manifest is nested more than 32 elements deep."},
      {"200001 elements", Mpd(Repeat("<x/>", 200000)), 0, "The DASH manifest has more than 200000 elements."},
      {"an attribute of 2 MiB", Mpd(period, " x=\"" + std::string(2 << 20, 'a') + "\""), 0,
       "The DASH manifest has a tag or a text longer than 1 MiB."},
      {"a text of 2 MiB", Mpd("<x>" + std::string(2 << 20, 'a') + "</x>" + period), 0,
       "The DASH manifest has a tag or a text longer than 1 MiB."},
      {"a long template times many segments",
       templated("PT100000S").replace(templated("PT100000S").find("$Number$"), 8, std::string(1000, 'a') + "$Number$"),
       0, "The DASH manifest's segment addresses take more than 64 MiB."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      const StreamPlan plan = ParseDashManifest(c.text, kBase, kBestHeight);
      EXPECT_FALSE(c.refusal) << "accepted";
      ASSERT_EQ(plan.tracks.size(), 1u);
      EXPECT_EQ(plan.tracks[0].pieces.size(), c.pieces);
    } catch (const StreamError& e) {
      EXPECT_TRUE(c.refusal) << e.what();
      if (c.refusal) {
        EXPECT_STREQ(e.what(), c.refusal);
      }
    }
  }
}

TEST(DashManifest, SegmentBaseNamesTheInitSectionItsIndexedPiecesNeed) {
  const struct {
    const char* name;
    std::string segmentBase;
    Resource init;
  } cases[] = {
      {"an Initialization range", "<SegmentBase indexRange=\"900-987\"><Initialization range=\"0-799\"/></SegmentBase>",
       {"http://cdn.test/d/video.mp4", 0, 800}},
      {"the bytes before the index", "<SegmentBase indexRange=\"900-987\"/>", {"http://cdn.test/d/video.mp4", 0, 900}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StreamPlan plan = ParseDashManifest(
        Mpd("<Period><AdaptationSet contentType=\"video\"><Representation id=\"v\" bandwidth=\"1\">"
            "<BaseURL>video.mp4</BaseURL>" + c.segmentBase + "</Representation></AdaptationSet></Period>"),
        kBase, kBestHeight);
    const Track& t = plan.tracks.at(0);
    ASSERT_TRUE(t.NeedsIndex());
    ASSERT_GE(t.indexInit, 0);
    EXPECT_EQ(t.inits.at(static_cast<std::size_t>(t.indexInit)), c.init);
  }
  // An index at the very start has no bytes before it to stand for an init section.
  const StreamPlan bare = ParseDashManifest(
      Mpd("<Period><AdaptationSet contentType=\"video\"><Representation id=\"v\" bandwidth=\"1\">"
          "<BaseURL>video.mp4</BaseURL><SegmentBase indexRange=\"0-87\"/></Representation></AdaptationSet></Period>"),
      kBase, kBestHeight);
  EXPECT_EQ(bare.tracks.at(0).indexInit, -1);
}

TEST(DashManifest, IsoDurations) {
  const struct {
    const char* text;
    double seconds;
  } cases[] = {{"PT10S", 10}, {"PT1H2M3.5S", 3723.5}, {"P1DT1S", 86401}, {"PT0.25S", 0.25}, {"10S", -1}, {"PT", -1},
               {"PTxS", -1}, {"", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_DOUBLE_EQ(ParseIsoDuration(c.text), c.seconds);
  }
}

}  // namespace
}  // namespace larkvale::stream
