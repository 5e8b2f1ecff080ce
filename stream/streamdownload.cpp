#include "stream/streamdownload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "stream/dashmanifest.h"
#include "stream/hlsplaylist.h"
#include "stream/readypieces.h"
#include "stream/remux.h"
#include "stream/textutil.h"

namespace larkvale::stream {

// Where the playlists of a live stream are, for refreshing them.
struct LiveTrack {
  std::string url;
  std::int64_t nextSequence = 0;
};

namespace {

namespace fs = std::filesystem;

std::string Kbit(std::int64_t bandwidth) { return std::to_string((bandwidth + 500) / 1000) + " kbit/s"; }

// A stable fingerprint of what a plan fetches (FNV-1a), so that pieces kept
// from an earlier run are only reused for the same pieces.
std::string Fingerprint(const std::string& url, const StreamPlan& plan) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&](const std::string& s) {
    for (const unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    h = (h ^ 0xFF) * 1099511628211ull;
  };
  mix(url);
  for (const Track& t : plan.tracks) {
    mix("track");
    for (const auto& r : t.inits) mix(r.url + " " + std::to_string(r.offset) + " " + std::to_string(r.length));
    for (const auto& k : t.keys) mix(k);
    for (const auto& p : t.pieces)
      mix(p.where.url + " " + std::to_string(p.where.offset) + " " + std::to_string(p.where.length) + " " +
          std::to_string(p.key) + " " + std::to_string(p.init));
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw StreamError("Cannot write " + temp + ".");
  }
  fs::rename(temp, path);
}

std::string PieceFile(const std::string& folder, std::size_t track, const std::string& what) {
  return folder + "/t" + std::to_string(track) + "-" + what;
}

std::string Number(std::int64_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "%08lld", static_cast<long long>(n));
  return text;
}

// A join that did not finish leaves nothing of itself under the .part: an
// empty one that held the name before (the list and the command line find
// the kept pieces through it) stays as it was, else it goes.
void ReleasePart(const std::string& part, bool heldName) {
  std::error_code ec;
  if (heldName) fs::resize_file(part, 0, ec);
  else fs::remove(part, ec);
}

// A live recording's state: the address, then one line for each piece in
// the order recorded, written before the piece is fetched:
//   piece <track> <discontinuity 0/1> <init file or -> <piece file>
std::string LiveState(const std::string& url) { return "stream " + url + "\nlive\n"; }

// The recorded pieces of each track, up to its first piece that is not whole
// (one cut by the Stop or the kill); empty when a track has none.
std::vector<RemuxTrack> RecordedTracks(const std::string& folder) {
  std::vector<RemuxTrack> tracks;
  std::vector<std::string> lastInit;
  std::vector<bool> ended;
  std::istringstream in(ReadFile(folder + "/state"));
  std::error_code ec;
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string word, init, file;
    std::size_t track = 0;
    int discontinuity = 0;
    if (!(f >> word >> track >> discontinuity >> init >> file) || word != "piece" || track > 1) continue;
    if (tracks.size() <= track) {
      tracks.resize(track + 1);
      lastInit.resize(track + 1, "\n");
      ended.resize(track + 1, false);
    }
    const std::string path = folder + "/" + file;
    const std::string initPath = init == "-" ? std::string() : folder + "/" + init;
    if (ended[track] || !fs::exists(path, ec) || (!initPath.empty() && !fs::exists(initPath, ec))) {
      ended[track] = true;
      continue;
    }
    RemuxTrack& t = tracks[track];
    if (t.groups.empty() || discontinuity || init != lastInit[track]) {
      t.groups.emplace_back();
      if (!initPath.empty()) t.groups.back().push_back(initPath);
    }
    lastInit[track] = init;
    t.groups.back().push_back(path);
  }
  for (const RemuxTrack& t : tracks)
    if (t.groups.empty()) return {};
  return tracks;
}

bool IsHlsText(const std::string& text) {
  std::string_view t = TrimView(text);
  if (StartsWith(t, "\xEF\xBB\xBF")) t.remove_prefix(3);
  return StartsWith(t, "#EXTM3U");
}

}  // namespace

struct StreamDownload::Source {
  std::string finalUrl;
  std::vector<LiveTrack> live;  // one per track, for a live HLS stream
};

double StreamProgress::Fraction() const {
  if (expected > 0) return std::min(1.0, static_cast<double>(have) / static_cast<double>(expected));
  if (total > 0) return static_cast<double>(done) / static_cast<double>(total);
  return 0;
}

void StreamDownload::Stop() {
  stop_ = true;
  if (fetcher_) fetcher_->Stop();
}

StreamPlan StreamDownload::Plan(const std::string& url, SegmentFetcher& fetcher, Source& source) {
  std::string type;
  const std::string text = fetcher.FetchBytes({url, 0, -1}, "the playlist", &source.finalUrl, &type);
  if (IsHlsText(text)) {
    StreamPlan plan;
    std::vector<std::string> playlists;
    if (IsHlsMaster(text)) {
      const HlsMaster master = ParseHlsMaster(text, source.finalUrl);
      const HlsVariant& v = master.variants[ChooseHlsVariant(master, options_.maxHeight)];
      playlists.push_back(v.url);
      plan.chosen = (v.height > 0 ? std::to_string(v.width) + "x" + std::to_string(v.height) + ", " : "") + Kbit(v.bandwidth);
      const int audio = ChooseHlsAudio(master, v);
      if (audio >= 0) playlists.push_back(master.audio[static_cast<std::size_t>(audio)].url);
    }
    for (std::size_t i = 0; i < std::max<std::size_t>(playlists.size(), 1); ++i) {
      std::string final = source.finalUrl;
      // The playlist itself when it is a media playlist (no copy: it may be large).
      std::string fetched;
      if (!playlists.empty()) fetched = fetcher.FetchBytes({playlists[i], 0, -1}, "the media playlist", &final);
      const std::string& body = playlists.empty() ? text : fetched;
      const HlsMedia media = ParseHlsMedia(body, final);
      if (media.track.pieces.empty() && media.ended) throw StreamError("The HLS playlist lists no segments.");
      if (!media.ended) plan.live = true;
      plan.targetDuration = std::max(plan.targetDuration, media.targetDuration);
      source.live.push_back({final, media.mediaSequence + static_cast<std::int64_t>(media.track.pieces.size())});
      plan.tracks.push_back(media.track);
      if (i == 0) plan.firstSequence = media.mediaSequence;
    }
    return plan;
  }
  if (text.find("<MPD") != std::string::npos) return ParseDashManifest(text, source.finalUrl, options_.maxHeight);
  throw StreamError("The address gives neither an HLS playlist nor a DASH manifest (it is " +
                    (type.empty() ? std::string("of no stated type") : Printable(type, 80)) + ").");
}

StreamDownload::Result StreamDownload::Run(const std::string& url, const std::string& finalPath,
                                           const std::function<void(const StreamProgress&)>& between,
                                           const std::function<void(const std::string&)>& status) {
  Result result;
  stop_ = false;
  SegmentFetcher fetcher({options_.connections, 3, 500, options_.makeClient, nullptr});
  fetcher.callerWaiting = [&] {
    if (between) between(StreamProgress{});
  };
  fetcher_ = &fetcher;
  try {
    if (FinishRecording(url, finalPath, between)) {
      result.complete = true;
      Finished(finalPath, {}, between, result);
      fetcher_ = nullptr;
      return result;
    }
    if (status) status("Reading the stream's playlist");
    Source source;
    StreamPlan plan = Plan(url, fetcher, source);
    if (status && !plan.chosen.empty()) status("Downloading the stream (" + plan.chosen + ")");
    if (plan.live) {
      RunLive(url, plan, source, finalPath, fetcher, between, result);
      if (status && !result.note.empty()) status(result.note);
    } else {
      RunWhole(url, plan, finalPath, fetcher, between, result);
    }
  } catch (const std::exception& e) {
    if (stop_) {
      result.stopped = true;
    } else {
      result.error = e.what();
    }
  }
  fetcher_ = nullptr;
  return result;
}

namespace {

// Indexed files list their pieces in a sidx box.
void ReadIndexes(StreamPlan& plan, SegmentFetcher& fetcher) {
  for (Track& t : plan.tracks) {
    if (!t.NeedsIndex()) continue;
    const std::string box = fetcher.FetchBytes(t.index, "the segment index");
    t.pieces = ParseSidx(box, t.index.offset, t.index.url);
    // The pieces are fragments: each group needs the init section before them.
    for (Piece& p : t.pieces) p.init = t.indexInit;
    t.index = {};
    t.indexInit = -1;
  }
}

// The pieces' folder, kept from an earlier run of the same pieces, else new.
std::string PreparePiecesFolder(const std::string& url, const StreamPlan& plan, const std::string& finalPath) {
  const std::string folder = StreamDownload::PiecesFolder(finalPath);
  const std::string state = "stream " + url + "\npieces " + Fingerprint(url, plan) + "\n";
  const std::string stateFile = folder + "/state";
  std::error_code ec;
  if (fs::exists(folder, ec) && ReadFile(stateFile) != state) fs::remove_all(folder, ec);
  fs::create_directories(folder, ec);
  if (ec) throw StreamError("Cannot create the folder " + folder + ": " + ec.message());
  WriteFileAtomically(stateFile, state);
  return folder;
}

std::vector<Key128> FetchKeys(const Track& t, SegmentFetcher& fetcher) {
  std::vector<Key128> keys;
  for (const std::string& url : t.keys) {
    const std::string bytes = fetcher.FetchBytes({url, 0, -1}, "the AES-128 key");
    if (bytes.size() != 16)
      throw StreamError("The AES-128 key at " + url + " is " + std::to_string(bytes.size()) + " bytes long, not 16.");
    Key128 key;
    std::copy(bytes.begin(), bytes.end(), key.begin());
    keys.push_back(key);
  }
  return keys;
}

// What a whole download fetches and joins.
struct WholeJobs {
  std::vector<FetchJob> jobs;
  std::vector<RemuxTrack> remux;
  bool sizesKnown = true;
  double seconds = 0;  // the first track's length
  std::int64_t knownTotal = 0;
};

// Initialisation sections first, then the pieces of all tracks in the order
// of their times, so the join, which interleaves the tracks by time, finds
// each next piece among the first to arrive.
WholeJobs PlanJobs(const StreamPlan& plan, const std::string& folder, SegmentFetcher& fetcher) {
  WholeJobs w;
  struct Timed {
    double at;
    std::size_t track;
    FetchJob job;
  };
  std::vector<Timed> timed;
  w.remux.resize(plan.tracks.size());
  for (std::size_t ti = 0; ti < plan.tracks.size(); ++ti) {
    const Track& t = plan.tracks[ti];
    double trackSeconds = 0, at = 0;
    for (const Piece& p : t.pieces) trackSeconds += p.duration;
    const std::vector<Key128> keys = FetchKeys(t, fetcher);
    for (std::size_t i = 0; i < t.inits.size(); ++i) {
      FetchJob job;
      job.where = t.inits[i];
      job.path = PieceFile(folder, ti, "init" + std::to_string(i) + ".mp4");
      job.name = "the initialisation section";
      job.role = PieceRole::kInit;
      w.sizesKnown = w.sizesKnown && job.where.length >= 0;
      w.jobs.push_back(job);
    }
    int lastInit = -2;
    for (std::size_t i = 0; i < t.pieces.size(); ++i) {
      const Piece& p = t.pieces[i];
      FetchJob job;
      job.where = p.where;
      job.path = PieceFile(folder, ti, Number(static_cast<std::int64_t>(i)) + ".seg");
      job.name = "segment " + std::to_string(i + 1) + (plan.tracks.size() > 1 ? (ti == 0 ? " of the video" : " of the audio") : "");
      if (p.key >= 0) {
        job.key = keys.at(static_cast<std::size_t>(p.key));
        job.iv = p.iv;
      }
      job.duration = p.duration;
      if (ti == 0) w.seconds += p.duration;
      w.sizesKnown = w.sizesKnown && job.where.length >= 0;
      // A new group where times may restart or the init section changes.
      auto& groups = w.remux[ti].groups;
      if (groups.empty() || p.discontinuity || p.init != lastInit) {
        groups.emplace_back();
        if (p.init >= 0) groups.back().push_back(PieceFile(folder, ti, "init" + std::to_string(p.init) + ".mp4"));
      }
      lastInit = p.init;
      groups.back().push_back(job.path);
      // Where the piece sits in its track, 0 to 1: by time when the
      // manifest gives durations, else by count.
      const double position = trackSeconds > 0 ? at / trackSeconds : static_cast<double>(i) / static_cast<double>(t.pieces.size());
      at += p.duration;
      timed.push_back({position, ti, std::move(job)});
    }
  }
  std::stable_sort(timed.begin(), timed.end(), [](const Timed& a, const Timed& b) {
    return a.at != b.at ? a.at < b.at : a.track < b.track;
  });
  for (Timed& t : timed) w.jobs.push_back(std::move(t.job));
  if (w.sizesKnown)
    for (const auto& j : w.jobs) w.knownTotal += j.where.length;
  return w;
}

}  // namespace

void StreamDownload::RunWhole(const std::string& url, StreamPlan& plan, const std::string& finalPath,
                              SegmentFetcher& fetcher, const std::function<void(const StreamProgress&)>& between,
                              Result& result) {
  ReadIndexes(plan, fetcher);
  const std::string folder = PreparePiecesFolder(url, plan, finalPath);
  const WholeJobs w = PlanJobs(plan, folder, fetcher);

  StreamProgress last;
  auto report = [&](const FetchProgress& f) {
    last.bytes = f.bytes;
    last.have = f.bytesOnDisk;
    last.done = f.done;
    last.total = f.total;
    if (w.sizesKnown) last.expected = w.knownTotal;
    else if (w.seconds > 0 && f.secondsDone > 0)
      last.expected = static_cast<std::int64_t>(static_cast<double>(f.bytesOnDisk) * (w.seconds / f.secondsDone));
    if (last.expected >= 0 && last.expected < last.have) last.expected = last.have;
    if (between) between(last);
  };
  const std::string part = finalPath + ".part";
  std::error_code ec;
  const bool heldName = fs::exists(part, ec);
  bool whole = false;
  try {
    whole = FetchWhileJoining(w.jobs, w.remux, part, fetcher, report, [&] {
      if (between) between(last);
    });
  } catch (...) {
    ReleasePart(part, heldName);
    throw;
  }
  if (!whole) {
    ReleasePart(part, heldName);
    result.stopped = true;
    return;
  }
  fs::rename(part, finalPath, ec);
  if (ec) throw StreamError("Cannot rename " + part + ": " + ec.message());
  fs::remove_all(folder, ec);
  result.complete = true;
  Finished(finalPath, last, between, result);
}

// The join runs while the pieces arrive, each piece as soon as it and all
// before it are whole, so that little is left to do after the last one: the
// fetcher tells the join of each piece it makes whole.
bool StreamDownload::FetchWhileJoining(const std::vector<FetchJob>& jobs, const std::vector<RemuxTrack>& remux,
                                       const std::string& part, SegmentFetcher& fetcher,
                                       const std::function<void(const FetchProgress&)>& report,
                                       const std::function<void()>& between) {
  ReadyPieces ready;
  std::atomic<bool> cut{false}, joined{false};
  const auto stopJoin = [&] {
    cut = true;
    ready.End();
  };
  bool joinedWhole = false;
  std::exception_ptr joinFailure, fetchFailure;
  std::thread joiner([&] {
    try {
      joinedWhole = RemuxToMp4(remux, part, &cut, [&](const std::string& path) { return ready.Wait(path); });
    } catch (...) {
      joinFailure = std::current_exception();
      // Pieces that cannot be joined are not worth fetching further.
      fetcher.Stop();
    }
    joined = true;
  });
  bool fetched = false;
  try {
    fetched = fetcher.FetchAll(jobs, report, [&](const FetchJob& job) { ready.Mark(job.path); });
  } catch (...) {
    fetchFailure = std::current_exception();
  }
  if (!fetched || stop_) cut = true;
  ready.End();
  while (!joined) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    try {
      between();
    } catch (...) {
      // The joiner must end before anything leaves this frame.
      if (!fetchFailure) fetchFailure = std::current_exception();
      stopJoin();
    }
    if (stop_) stopJoin();
  }
  joiner.join();
  if (joinFailure) std::rethrow_exception(joinFailure);
  if (fetchFailure) std::rethrow_exception(fetchFailure);
  return fetched && joinedWhole;
}

void StreamDownload::Finished(const std::string& finalPath, StreamProgress last,
                              const std::function<void(const StreamProgress&)>& between, Result& result) {
  std::error_code ec;
  const auto size = fs::file_size(finalPath, ec);
  result.fileBytes = ec ? -1 : static_cast<std::int64_t>(size);
  if (result.fileBytes >= 0) last.have = last.expected = result.fileBytes;
  last.done = last.total;
  if (!between) return;
  try {
    between(last);
  } catch (...) {
    // The file is whole; a failing progress hook changes nothing of that.
  }
}

bool StreamDownload::FinishRecording(const std::string& url, const std::string& finalPath,
                                     const std::function<void(const StreamProgress&)>& between) {
  const std::string folder = PiecesFolder(finalPath);
  if (!StartsWith(ReadFile(folder + "/state"), LiveState(url))) return false;
  const std::vector<RemuxTrack> tracks = RecordedTracks(folder);
  if (tracks.empty()) return false;
  if (!Join(tracks, finalPath, false, [&] {
        if (between) between(StreamProgress{});
      }))
    return false;
  std::error_code ec;
  fs::remove_all(folder, ec);
  return true;
}

// A live recording's folder and its state file, which lists each piece
// before it is fetched: a kill may come at any time.
struct StreamDownload::Recording {
  std::string folder;
  std::ofstream state;
  std::vector<std::map<std::string, Key128>> keys;  // each track's, by address
  std::map<std::string, std::string> initFiles;      // by address and offset

  // A recording starts afresh (one an earlier run left was finished before
  // the playlist was read).
  Recording(const std::string& url, const std::string& finalPath, std::size_t tracks)
      : folder(PiecesFolder(finalPath)), keys(tracks) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    if (ec) throw StreamError("Cannot create the folder " + folder + ": " + ec.message());
    state.open(folder + "/state", std::ios::binary | std::ios::trunc);
    state << LiveState(url) << std::flush;
    if (!state) throw StreamError("Cannot write " + folder + "/state.");
  }

  Key128 Key(std::size_t ti, const std::string& url, SegmentFetcher& fetcher) {
    if (!keys[ti].count(url)) {
      const std::string bytes = fetcher.FetchBytes({url, 0, -1}, "the AES-128 key");
      if (bytes.size() != 16) throw StreamError("The AES-128 key at " + url + " is not 16 bytes long.");
      Key128 k;
      std::copy(bytes.begin(), bytes.end(), k.begin());
      keys[ti][url] = k;
    }
    return keys[ti][url];
  }

  // The init section's file name for `r`; a job for it when it is new.
  std::string Init(std::size_t ti, const Resource& r, std::vector<FetchJob>& jobs) {
    const std::string id = r.url + "@" + std::to_string(r.offset);
    if (!initFiles.count(id)) {
      const std::string path = PieceFile(folder, ti, "init" + std::to_string(initFiles.size()) + ".mp4");
      initFiles[id] = path;
      FetchJob init;
      init.where = r;
      init.path = path;
      init.name = "the initialisation section";
      init.role = PieceRole::kInit;
      jobs.push_back(init);
    }
    return fs::path(initFiles[id]).filename().string();
  }

  // The jobs for track `ti`'s pieces from `firstSequence` on, listed in
  // the state file.
  std::vector<FetchJob> Add(std::size_t ti, const Track& t, std::int64_t firstSequence, SegmentFetcher& fetcher) {
    std::vector<FetchJob> jobs;
    std::error_code ec;
    for (std::size_t i = 0; i < t.pieces.size(); ++i) {
      const std::int64_t sequence = firstSequence + static_cast<std::int64_t>(i);
      const Piece& p = t.pieces[i];
      FetchJob job;
      job.where = p.where;
      job.path = PieceFile(folder, ti, Number(sequence) + ".seg");
      if (fs::exists(job.path, ec)) continue;
      job.name = "segment " + std::to_string(sequence);
      if (p.key >= 0) {
        job.key = Key(ti, t.keys[static_cast<std::size_t>(p.key)], fetcher);
        job.iv = p.iv;
      }
      job.duration = p.duration;
      const std::string initName = p.init >= 0 ? Init(ti, t.inits[static_cast<std::size_t>(p.init)], jobs) : "-";
      state << "piece " << ti << ' ' << (p.discontinuity ? 1 : 0) << ' ' << initName << ' '
            << fs::path(job.path).filename().string() << '\n' << std::flush;
      if (!state) throw StreamError("Cannot write " + folder + "/state.");
      jobs.push_back(std::move(job));
    }
    return jobs;
  }
};

// Reads each track's live playlist again and lists the pieces not seen yet
// into `pending`. True when any came; `ended` once a playlist says so.
bool StreamDownload::Reload(std::vector<LiveTrack>& live, Recording& recording, SegmentFetcher& fetcher,
                            std::vector<FetchJob>& pending, bool& ended) {
  bool fresh = false;
  for (std::size_t ti = 0; ti < live.size(); ++ti) {
    std::string final = live[ti].url;
    HlsMedia media;
    try {
      media = ParseHlsMedia(fetcher.FetchBytes({live[ti].url, 0, -1}, "the live playlist", &final), final);
    } catch (const StreamError&) {
      if (stop_) return fresh;
      throw;
    }
    const std::int64_t next = media.mediaSequence + static_cast<std::int64_t>(media.track.pieces.size());
    if (next > live[ti].nextSequence) {
      // Only the pieces not seen yet.
      Track more = media.track;
      const std::int64_t skip = std::max<std::int64_t>(0, live[ti].nextSequence - media.mediaSequence);
      more.pieces.erase(more.pieces.begin(), more.pieces.begin() + std::min<std::int64_t>(skip, static_cast<std::int64_t>(more.pieces.size())));
      auto jobs = recording.Add(ti, more, media.mediaSequence + skip, fetcher);
      pending.insert(pending.end(), jobs.begin(), jobs.end());
      live[ti].nextSequence = next;
      fresh = true;
    }
    if (media.ended) ended = true;
  }
  return fresh;
}

void StreamDownload::RunLive(const std::string& url, StreamPlan& plan, const Source& source,
                             const std::string& finalPath, SegmentFetcher& fetcher,
                             const std::function<void(const StreamProgress&)>& between, Result& result) {
  const std::size_t trackCount = plan.tracks.size();
  Recording recording(url, finalPath, trackCount);
  std::vector<LiveTrack> live = source.live;
  StreamProgress progress;
  std::int64_t bytesBefore = 0;

  std::vector<FetchJob> pending;
  for (std::size_t ti = 0; ti < trackCount; ++ti) {
    const std::int64_t first = live[ti].nextSequence - static_cast<std::int64_t>(plan.tracks[ti].pieces.size());
    auto jobs = recording.Add(ti, plan.tracks[ti], first, fetcher);
    pending.insert(pending.end(), jobs.begin(), jobs.end());
  }
  // Within reason: a playlist's word must neither make us reload it many
  // times a second nor wait for days (the waits below count milliseconds).
  const double target = std::clamp(plan.targetDuration > 0 ? plan.targetDuration : 2, 0.5, 3600.0);
  // A playlist that stops growing without saying it ended (a stalled
  // encoder, a stream that is over) would otherwise be reloaded for ever.
  const auto idleLimit = std::chrono::milliseconds(static_cast<std::int64_t>(target * 1000 * options_.liveIdleTargets));
  auto lastNew = std::chrono::steady_clock::now();
  bool ended = false, idle = false;
  for (;;) {
    const auto loaded = std::chrono::steady_clock::now();
    bool changed = !pending.empty();
    if (!pending.empty()) {
      const bool whole = fetcher.FetchAll(pending, [&](const FetchProgress& f) {
        progress.bytes = bytesBefore + f.bytes;
        progress.have = progress.bytes;
        if (between) between(progress);
      });
      bytesBefore = progress.bytes;
      pending.clear();
      if (!whole) break;
    }
    if (ended || stop_) break;
    // Reload after the target duration when the playlist changed, else
    // after half of it.
    const auto wait = std::chrono::milliseconds(static_cast<int>(target * (changed ? 1000 : 500)));
    while (!stop_ && std::chrono::steady_clock::now() - loaded < wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (between) between(progress);
    }
    if (stop_) break;
    const bool fresh = Reload(live, recording, fetcher, pending, ended);
    if (stop_) break;
    const auto now = std::chrono::steady_clock::now();
    if (fresh || ended) {
      lastNew = now;
    } else if (options_.liveIdleTargets > 0 && now - lastNew >= idleLimit) {
      idle = true;
      break;
    }
  }
  EndRecording(recording.folder, trackCount, finalPath, idle ? target * options_.liveIdleTargets : 0, progress,
               between, result);
}

void StreamDownload::EndRecording(const std::string& folder, std::size_t trackCount, const std::string& finalPath,
                                  double idleFor, const StreamProgress& progress,
                                  const std::function<void(const StreamProgress&)>& between, Result& result) {
  // Seconds as the user reads them: "30 s", "4.5 s".
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", std::round(idleFor * 10) / 10);
  const bool idle = idleFor > 0;
  std::error_code ec;
  // What was recorded: each track's pieces up to its first one missing (a
  // piece cut by the Stop).
  const std::vector<RemuxTrack> remux = RecordedTracks(folder);
  if (remux.size() != trackCount) {
    // Nothing to keep: no folder says otherwise.
    fs::remove_all(folder, ec);
    throw StreamError(idle ? "The live stream sent no new piece for " + std::string(seconds) +
                                 " s; nothing of it was recorded."
                           : std::string("Nothing of the live stream was recorded."));
  }
  if (!Join(remux, finalPath, false, [&] {
        if (between) between(progress);
      }))
    return;
  fs::remove_all(folder, ec);
  result.complete = true;
  if (idle) result.note = "The live stream sent no new piece for " + std::string(seconds) + " s; the recording ends here.";
  Finished(finalPath, progress, between, result);
}

bool StreamDownload::Join(const std::vector<RemuxTrack>& tracks, const std::string& finalPath, bool stoppable,
                          const std::function<void()>& between) {
  const std::string part = finalPath + ".part";
  std::error_code ec;
  const bool heldName = fs::exists(part, ec);
  std::atomic<bool> done{false};
  std::exception_ptr failure;
  bool whole = false;
  std::thread worker([&] {
    try {
      whole = RemuxToMp4(tracks, part, stoppable ? &stop_ : nullptr);
    } catch (...) {
      failure = std::current_exception();
    }
    done = true;
  });
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    between();
  }
  worker.join();
  if (failure || !whole) {
    ReleasePart(part, heldName);
    if (failure) std::rethrow_exception(failure);
    return false;
  }
  fs::rename(part, finalPath, ec);
  if (ec) throw StreamError("Cannot rename " + part + ": " + ec.message());
  return true;
}

}  // namespace larkvale::stream
