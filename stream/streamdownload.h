#pragma once
// One stream download, from the playlist's or manifest's address to a whole
// MP4 under its final name: the playlist is read and a variant chosen, the
// pieces are fetched beside the file, joined into the final name plus
// ".part", and the .part is renamed when it is whole.
//
// The fetched pieces live in the final name plus ".segments/" with a state
// file that records what they are pieces of; a later run of the same address
// (after Stop, a kill or a failure) fetches only the pieces that are missing.
// The folder goes when the file is whole. A live recording cannot be taken
// up again where it was cut (the stream has moved on), so a later run after
// a kill finishes the file from what was recorded instead. A live playlist
// that brings no new piece for a few target durations ends the recording
// the same way, with the reason in `Result::note`.
//
// Runs synchronously on the caller's thread (the fetch and the join run on
// workers); the caller's `between` hook runs every few milliseconds, so the
// window stays alive, and may call `Stop`.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stream/segmentfetcher.h"
#include "stream/streamplan.h"

namespace larkvale::stream {

struct LiveTrack;

struct StreamOptions {
  int maxHeight = kBestHeight;  // 0 = best; else the tallest picture wanted
  int connections = 4;
  ClientFactory makeClient;     // unset: DefaultStreamClient
  // A live recording ends, keeping what it recorded, once its playlist has
  // brought no new piece for this many target durations.
  int liveIdleTargets = 3;
};

struct StreamProgress {
  std::int64_t bytes = 0;     // received in this run (for the speed)
  std::int64_t have = 0;      // bytes of whole pieces on disk
  std::int64_t expected = -1; // the whole download's bytes, known or estimated; -1 unknown
  std::size_t done = 0, total = 0;
  // 0 to 1: by bytes when the sizes are known or can be estimated from
  // durations, else by pieces.
  double Fraction() const;
};

class StreamDownload {
 public:
  explicit StreamDownload(StreamOptions options) : options_(std::move(options)) {}

  struct Result {
    bool complete = false;  // the final name holds the whole file
    bool stopped = false;   // Stop ended it; what arrived is kept
    std::string error;      // why it failed (empty otherwise)
    // With `complete`: the file's size on disk (what "done" reports; the
    // bytes fetched differ: playlists, containers, a remux).
    std::int64_t fileBytes = -1;
    // With `complete`: why a live recording ended by itself, for the user
    // ("The live stream sent no new piece for 30 s; ..."); else empty.
    std::string note;
  };

  // `between` runs on this thread with the progress; `status` gets texts
  // for the status line. Raises nothing.
  Result Run(const std::string& url, const std::string& finalPath,
             const std::function<void(const StreamProgress&)>& between,
             const std::function<void(const std::string&)>& status = nullptr);

  // From `between`: ends the run soon, keeping what arrived.
  void Stop();

  // The folder of fetched pieces beside `finalPath`.
  static std::string PiecesFolder(const std::string& finalPath) { return finalPath + ".segments"; }

 private:
  struct Source;
  StreamPlan Plan(const std::string& url, SegmentFetcher& fetcher, Source& source);
  void RunWhole(const std::string& url, StreamPlan& plan, const std::string& finalPath, SegmentFetcher& fetcher,
                const std::function<void(const StreamProgress&)>& between, Result& result);
  void RunLive(const std::string& url, StreamPlan& plan, const Source& source, const std::string& finalPath,
               SegmentFetcher& fetcher, const std::function<void(const StreamProgress&)>& between, Result& result);
  // Fetches `jobs` while joining `remux` into `part` on a worker; false when
  // stopped or the fetch fell short. Raises the fetch's or the join's error.
  bool FetchWhileJoining(const std::vector<FetchJob>& jobs, const std::vector<struct RemuxTrack>& remux,
                         const std::string& part, SegmentFetcher& fetcher,
                         const std::function<void(const FetchProgress&)>& report, const std::function<void()>& between);
  struct Recording;
  bool Reload(std::vector<LiveTrack>& live, Recording& recording, SegmentFetcher& fetcher,
              std::vector<FetchJob>& pending, bool& ended);
  // Joins what a live recording holds; `idleFor` seconds when the playlist
  // went quiet, else 0.
  void EndRecording(const std::string& folder, std::size_t trackCount, const std::string& finalPath, double idleFor,
                    const StreamProgress& progress, const std::function<void(const StreamProgress&)>& between,
                    Result& result);
  // A live recording that ended without its join (a kill): what it
  // recorded becomes the file. False when it recorded nothing.
  bool FinishRecording(const std::string& url, const std::string& finalPath,
                       const std::function<void(const StreamProgress&)>& between);
  // The whole file's size as the result and as the last progress.
  void Finished(const std::string& finalPath, StreamProgress last,
                const std::function<void(const StreamProgress&)>& between, Result& result);
  // Joins into finalPath + ".part" on a worker and renames it; false when stopped.
  bool Join(const std::vector<struct RemuxTrack>& tracks, const std::string& finalPath, bool stoppable,
            const std::function<void()>& between);

  StreamOptions options_;
  std::atomic<bool> stop_{false};
  SegmentFetcher* fetcher_ = nullptr;
};

}  // namespace larkvale::stream
