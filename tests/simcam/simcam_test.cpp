// Tests of the simulated camera driver through the real libgphoto2: the
// library loads simcam.so from CAMLIBS and every call below goes through it,
// as the bridge's calls do. Run inside tests/harness/ns-run with one card;
// the card's mount point is the program's last argument.

#include <gphoto2/gphoto2.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_mount;

// CPU time this process has used, user and system.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// The bytes the camera generates for a photo of `size` bytes called `name`.
std::string generated(const std::string& name, std::size_t size) {
  unsigned h = 0;
  for (unsigned char c : name) h += c;
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + h) & 0xff);
  return out;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

class SimCam : public ::testing::Test {
 protected:
  std::string sim_dir() const { return g_mount + "/sim"; }

  void SetUp() override {
    // The control file stays: the driver remembers how far it read it
    // for the whole process, so tests only ever append to it.
    fs::create_directories(sim_dir());
    for (const auto& e : fs::directory_iterator(sim_dir()))
      if (e.path().filename() != "control") fs::remove_all(e.path());
    ctx_ = gp_context_new();
  }

  void TearDown() override {
    close_camera();
    gp_context_unref(ctx_);
  }

  // Writes the scenario and opens the camera on the card's disk port.
  int open_camera(const std::string& scenario) {
    std::ofstream(sim_dir() + "/scenario", std::ios::binary) << scenario;
    close_camera();
    gp_camera_new(&cam_);
    CameraAbilitiesList* al = nullptr;
    gp_abilities_list_new(&al);
    gp_abilities_list_load(al, ctx_);
    int m = gp_abilities_list_lookup_model(al, "Mass Storage Camera");
    EXPECT_GE(m, 0);
    CameraAbilities a;
    gp_abilities_list_get_abilities(al, m, &a);
    gp_camera_set_abilities(cam_, a);
    gp_abilities_list_free(al);

    GPPortInfoList* pl = nullptr;
    gp_port_info_list_new(&pl);
    gp_port_info_list_load(pl);
    int p = gp_port_info_list_lookup_path(pl, ("disk:" + g_mount).c_str());
    EXPECT_GE(p, 0);
    GPPortInfo info;
    gp_port_info_list_get_info(pl, p, &info);
    gp_camera_set_port_info(cam_, info);
    gp_port_info_list_free(pl);
    return gp_camera_init(cam_, ctx_);
  }

  void close_camera() {
    if (cam_) {
      gp_camera_exit(cam_, ctx_);
      gp_camera_unref(cam_);
      cam_ = nullptr;
    }
  }

  // Appends lines to the control file with one write, as a test would.
  void control(const std::string& lines) {
    std::ofstream(sim_dir() + "/control", std::ios::binary | std::ios::app) << lines;
  }

  // Log lines for one op, each split into its fields (op first).
  std::vector<std::vector<std::string>> log_of(const std::string& op) const {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(sim_dir() + "/log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      std::size_t sp = line.find(' ');
      EXPECT_NE(sp, std::string::npos) << line;
      auto fields = split(line.substr(sp + 1), '\t');
      if (!fields.empty() && fields[0] == op) out.push_back(fields);
    }
    return out;
  }

  int wait(int timeout, CameraEventType& type, std::string* folder = nullptr,
           std::string* name = nullptr, std::string* text = nullptr) {
    void* data = nullptr;
    type = GP_EVENT_UNKNOWN;
    int r = gp_camera_wait_for_event(cam_, timeout, &type, &data, ctx_);
    if (r == GP_OK && type == GP_EVENT_FILE_ADDED) {
      EXPECT_NE(data, nullptr);
      auto* path = static_cast<CameraFilePath*>(data);
      if (folder) *folder = path->folder;
      if (name) *name = path->name;
    } else if (r == GP_OK && type == GP_EVENT_UNKNOWN && data) {
      if (text) *text = static_cast<char*>(data);
    } else {
      EXPECT_EQ(data, nullptr) << "event type " << type;
    }
    std::free(data);
    return r;
  }

  // Downloads into a file made from a descriptor, like the bridge does,
  // and returns whatever reached the descriptor, even on failure.
  int download(const std::string& folder, const std::string& name, std::string& bytes) {
    int fd = memfd_create("download", MFD_CLOEXEC);
    CameraFile* file = nullptr;
    gp_file_new_from_fd(&file, dup(fd));  // the library closes its descriptor
    int r = gp_camera_file_get(cam_, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file, ctx_);
    gp_file_unref(file);
    off_t size = lseek(fd, 0, SEEK_END);
    bytes.assign(static_cast<std::size_t>(size), '\0');
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), size);
    close(fd);
    return r;
  }

  std::vector<std::string> list_files(const std::string& folder) {
    CameraList* list = nullptr;
    gp_list_new(&list);
    std::vector<std::string> out;
    if (gp_camera_folder_list_files(cam_, folder.c_str(), list, ctx_) == GP_OK)
      for (int i = 0; i < gp_list_count(list); ++i) {
        const char* n = nullptr;
        gp_list_get_name(list, i, &n);
        out.push_back(n);
      }
    gp_list_free(list);
    return out;
  }

  int get_text(const char* name, std::string& value) {
    CameraWidget* w = nullptr;
    int r = gp_camera_get_single_config(cam_, name, &w, ctx_);
    if (r == GP_OK) {
      const char* v = nullptr;
      gp_widget_get_value(w, &v);
      value = v ? v : "";
      gp_widget_free(w);
    }
    return r;
  }

  int set_text(const char* name, const char* value) {
    CameraWidget* w = nullptr;
    int r = gp_camera_get_single_config(cam_, name, &w, ctx_);
    if (r != GP_OK) return r;
    gp_widget_set_value(w, value);
    r = gp_camera_set_single_config(cam_, name, w, ctx_);
    gp_widget_free(w);
    return r;
  }

  int preview(std::string& bytes) {
    CameraFile* file = nullptr;
    gp_file_new(&file);
    int r = gp_camera_capture_preview(cam_, file, ctx_);
    const char* data = nullptr;
    unsigned long size = 0;
    gp_file_get_data_and_size(file, &data, &size);
    bytes.assign(data ? data : "", size);
    gp_file_unref(file);
    return r;
  }

  GPContext* ctx_ = nullptr;
  Camera* cam_ = nullptr;
};

TEST_F(SimCam, AutodetectFindsTheCardAndSessionsAreLogged) {
  CameraAbilitiesList* al = nullptr;
  GPPortInfoList* pl = nullptr;
  CameraList* found = nullptr;
  gp_abilities_list_new(&al);
  gp_abilities_list_load(al, ctx_);
  gp_port_info_list_new(&pl);
  gp_port_info_list_load(pl);
  gp_list_new(&found);
  ASSERT_EQ(gp_abilities_list_detect(al, pl, found, ctx_), GP_OK);
  bool ours = false;
  for (int i = 0; i < gp_list_count(found); ++i) {
    const char *model = nullptr, *port = nullptr;
    gp_list_get_name(found, i, &model);
    gp_list_get_value(found, i, &port);
    ours = ours || (std::string(model) == "Mass Storage Camera" && port == "disk:" + g_mount);
  }
  gp_list_free(found);
  gp_port_info_list_free(pl);
  gp_abilities_list_free(al);
  EXPECT_TRUE(ours);

  ASSERT_EQ(open_camera(""), GP_OK);
  close_camera();
  EXPECT_EQ(log_of("init").size(), 1u);
  EXPECT_EQ(log_of("exit").size(), 1u);

  EXPECT_EQ(open_camera("initfail\t-60\n"), -60);
}

TEST_F(SimCam, WaitSleepsOutItsTimeoutWhenNothingIsQueued) {
  ASSERT_EQ(open_camera(""), GP_OK);
  CameraEventType type;
  auto t0 = Clock::now();
  ASSERT_EQ(wait(200, type), GP_OK);
  EXPECT_GE(ms_since(t0), 180);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
  auto w = log_of("wait");
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0], (std::vector<std::string>{"wait", "200", "0", "timeout"}));
}

TEST_F(SimCam, QueuedEventsComeBackInOrderWithTheirData) {
  ASSERT_EQ(open_camera("shoot\t/a//b/\tx.jpg\t10\n"
                        "event\tcapture_complete\n"
                        "event\tunknown\thello there\n"
                        "event\tfolder_added\n"
                        "event\tfile_added\t/nowhere\t../evil.jpg\n"
                        "event\tfail\t-7\n"
                        "event\ttimeout\n"
                        "event\tfile_changed\n"),
            GP_OK);
  CameraEventType type;
  std::string folder, name, text;
  ASSERT_EQ(wait(1000, type, &folder, &name), GP_OK);
  EXPECT_EQ(type, GP_EVENT_FILE_ADDED);
  EXPECT_EQ(folder, "/a/b");  // the camera reports the photo where it stored it
  EXPECT_EQ(name, "x.jpg");
  ASSERT_EQ(wait(1000, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_CAPTURE_COMPLETE);
  ASSERT_EQ(wait(1000, type, nullptr, nullptr, &text), GP_OK);
  EXPECT_EQ(type, GP_EVENT_UNKNOWN);
  EXPECT_EQ(text, "hello there");
  ASSERT_EQ(wait(1000, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_FOLDER_ADDED);
  ASSERT_EQ(wait(1000, type, &folder, &name), GP_OK);
  EXPECT_EQ(type, GP_EVENT_FILE_ADDED);
  EXPECT_EQ(folder, "/nowhere");
  EXPECT_EQ(name, "../evil.jpg");
  EXPECT_EQ(wait(1000, type), -7);
  auto t0 = Clock::now();
  ASSERT_EQ(wait(5000, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
  EXPECT_LT(ms_since(t0), 4000);  // a queued timeout is not slept out
  ASSERT_EQ(wait(1000, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_FILE_CHANGED);

  // A trigger queues the photo it takes; the default names count up.
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  ASSERT_EQ(wait(1000, type, &folder, &name), GP_OK);
  EXPECT_EQ(folder + "/" + name, "/store_00010001/DCIM/100SIMUL/IMG_0001.JPG");
  ASSERT_EQ(wait(1000, type, &folder, &name), GP_OK);
  EXPECT_EQ(name, "IMG_0002.JPG");
  std::string bytes;
  ASSERT_EQ(download(folder, name, bytes), GP_OK);
  EXPECT_EQ(bytes, generated(name, 4096));

  auto w = log_of("wait");
  ASSERT_GE(w.size(), 6u);
  EXPECT_EQ(w[0], (std::vector<std::string>{"wait", "1000", "0", "file_added", "/a/b", "x.jpg"}));
  EXPECT_EQ(w[5], (std::vector<std::string>{"wait", "1000", "-7"}));
}

// filedelay: a slow camera announces a triggered photo late. The photo is
// there at once; events queued meanwhile are not held up behind it.
TEST_F(SimCam, FileDelayHoldsBackOnlyTheTriggeredPhotosAnnouncement) {
  ASSERT_EQ(open_camera("filedelay\t1500\n"
                        "next\t/slow\tone.jpg\t10\n"
                        "next\t/slow\ttwo.jpg\t20\n"),
            GP_OK);
  CameraEventType type;
  std::string folder, name, bytes;
  auto t0 = Clock::now();
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  ASSERT_EQ(wait(20, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
  ASSERT_EQ(download("/slow", "one.jpg", bytes), GP_OK);  // on the camera already
  EXPECT_EQ(bytes, generated("one.jpg", 10));

  control("shoot\t/fast\tbutton.jpg\t10\nevent\tcapture_complete\n");
  ASSERT_EQ(wait(1000, type, &folder, &name), GP_OK);
  EXPECT_EQ(name, "button.jpg");
  ASSERT_EQ(wait(1000, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_CAPTURE_COMPLETE);

  // The wait wakes for the due time, long before its own timeout ends.
  ASSERT_EQ(wait(10000, type, &folder, &name), GP_OK);
  EXPECT_GE(ms_since(t0), 1500);
  EXPECT_LT(ms_since(t0), 8000);
  EXPECT_EQ(type, GP_EVENT_FILE_ADDED);
  EXPECT_EQ(folder + "/" + name, "/slow/one.jpg");
  ASSERT_EQ(wait(10000, type, &folder, &name), GP_OK);
  EXPECT_EQ(name, "two.jpg");

  // filedelay 0: announced at once again.
  control("filedelay\t0\n");
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  ASSERT_EQ(wait(0, type, &folder, &name), GP_OK);
  EXPECT_EQ(type, GP_EVENT_FILE_ADDED);
  EXPECT_EQ(name, "IMG_0001.JPG");
}

// siblings: RAW+JPEG and the like. Every shot brings files with the same
// stem, announced right behind the first, also when the first is late.
TEST_F(SimCam, SiblingsComeWithEveryShot) {
  ASSERT_EQ(open_camera("siblings\t.CR2\t.xmp\n"
                        "next\t/s\tA.JPG\t100\n"
                        "photo\t/store_00010001/DCIM/100SIMUL\tIMG_0001.CR2\t5\n"),
            GP_OK);
  CameraEventType type;
  std::string folder, name, bytes;
  auto next_name = [&] {
    name.clear();
    EXPECT_EQ(wait(1000, type, &folder, &name), GP_OK);
    return type == GP_EVENT_FILE_ADDED ? folder + "/" + name : std::string("(none)");
  };
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  EXPECT_EQ(next_name(), "/s/A.JPG");
  EXPECT_EQ(next_name(), "/s/A.CR2");
  EXPECT_EQ(next_name(), "/s/A.xmp");
  ASSERT_EQ(download("/s", "A.CR2", bytes), GP_OK);
  EXPECT_EQ(bytes, generated("A.CR2", 100));

  // capture names the first file; the siblings are announced. A default
  // name whose sibling is on the card already is skipped.
  CameraFilePath path;
  ASSERT_EQ(gp_camera_capture(cam_, GP_CAPTURE_IMAGE, &path, ctx_), GP_OK);
  EXPECT_STREQ(path.name, "IMG_0002.JPG");
  EXPECT_EQ(next_name(), "/store_00010001/DCIM/100SIMUL/IMG_0002.CR2");
  EXPECT_EQ(next_name(), "/store_00010001/DCIM/100SIMUL/IMG_0002.xmp");
  ASSERT_EQ(download(path.folder, "IMG_0002.xmp", bytes), GP_OK);
  EXPECT_EQ(bytes, generated("IMG_0002.xmp", 4096));
  auto listed = list_files(path.folder);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"IMG_0001.CR2", "IMG_0002.CR2", "IMG_0002.JPG",
                                              "IMG_0002.xmp"}));

  // Under filedelay the whole shot is late, and stays together.
  control("filedelay\t200\nsiblings\t.CR2\n");
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  control("shoot\t/b\tbutton.jpg\t1\n");
  EXPECT_EQ(next_name(), "/b/button.jpg");
  EXPECT_EQ(next_name(), "/store_00010001/DCIM/100SIMUL/IMG_0003.JPG");
  EXPECT_EQ(next_name(), "/store_00010001/DCIM/100SIMUL/IMG_0003.CR2");

  // A bare "siblings" ends them.
  control("filedelay\t0\nsiblings\n");
  ASSERT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_OK);
  EXPECT_EQ(next_name(), "/store_00010001/DCIM/100SIMUL/IMG_0004.JPG");
  ASSERT_EQ(wait(50, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
}

TEST_F(SimCam, ControlLinesApplyAtRunTimeAndOnlyOnce) {
  ASSERT_EQ(open_camera("next\t/capt\tfirst.jpg\t700\n"), GP_OK);
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    control("shoot\t/live\tnew.jpg\t5000\n");
  });
  CameraEventType type;
  std::string folder, name, bytes;
  int r = wait(5000, type, &folder, &name);
  writer.join();
  ASSERT_EQ(r, GP_OK);
  ASSERT_EQ(type, GP_EVENT_FILE_ADDED);
  EXPECT_EQ(folder + "/" + name, "/live/new.jpg");
  ASSERT_EQ(download(folder, name, bytes), GP_OK);
  EXPECT_EQ(bytes, generated("new.jpg", 5000));

  // A photo added by a control line can be fetched by the very next call.
  control("photo\t/other\tquiet.jpg\t@quiet.src\n");
  std::ofstream(sim_dir() + "/quiet.src", std::ios::binary) << "not generated";
  ASSERT_EQ(download("/other", "quiet.jpg", bytes), GP_OK);
  EXPECT_EQ(bytes, "not generated");

  // capture fills in the path of the queued photo and queues no event.
  CameraFilePath path;
  ASSERT_EQ(gp_camera_capture(cam_, GP_CAPTURE_IMAGE, &path, ctx_), GP_OK);
  EXPECT_EQ(std::string(path.folder) + "/" + path.name, "/capt/first.jpg");
  ASSERT_EQ(download(path.folder, path.name, bytes), GP_OK);
  EXPECT_EQ(bytes.size(), 700u);

  // A new session (a reconnect) does not replay control lines already read.
  ASSERT_EQ(open_camera(""), GP_OK);
  ASSERT_EQ(wait(50, type), GP_OK);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
  EXPECT_EQ(download("/other", "quiet.jpg", bytes), GP_ERROR_DIRECTORY_NOT_FOUND);
}

TEST_F(SimCam, FailedDownloadLeavesThePhotoAndARetryGetsItWhole) {
  const std::size_t size = 300000;  // several 64 KiB chunks
  ASSERT_EQ(open_camera("photo\t/store/DCIM\tbig.jpg\t300000\n"
                        "downloadfail\tbig.jpg\t-7\t100000\n"),
            GP_OK);
  std::string bytes;
  EXPECT_EQ(download("/store/DCIM", "big.jpg", bytes), -7);
  EXPECT_EQ(bytes, generated("big.jpg", 100000));
  EXPECT_EQ(list_files("/store/DCIM"), std::vector<std::string>{"big.jpg"});

  control("downloadok\tbig.jpg\n");
  ASSERT_EQ(download("/store/DCIM", "big.jpg", bytes), GP_OK);
  EXPECT_EQ(bytes.size(), size);
  EXPECT_TRUE(bytes == generated("big.jpg", size));

  auto g = log_of("get_file");
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0], (std::vector<std::string>{"get_file", "/store/DCIM", "big.jpg", "-7", "100000"}));
  EXPECT_EQ(g[1], (std::vector<std::string>{"get_file", "/store/DCIM", "big.jpg", "0", "300000"}));

  // The camera kept no copy anywhere on the card.
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(g_mount))
    if (!e.is_directory()) files.push_back(fs::relative(e.path(), g_mount).string());
  std::sort(files.begin(), files.end());
  for (const auto& f : files)
    EXPECT_TRUE(f == "sim/control" || f == "sim/log" || f == "sim/scenario") << f;
}

TEST_F(SimCam, HostileNamesReachTheDriverAsTheyAre) {
  ASSERT_EQ(open_camera("photo\t/\t../x.jpg\t11\n"
                        "photo\t/a\ta/b\t12\n"
                        "photo\t/a\t..\t13\n"
                        "photo\t/..\t.\t14\n"
                        "photo\t/\tt\\tn\\n\\x01.jpg\t15\n"
                        "photo\t/\t\t16\n"),
            GP_OK);
  std::string bytes;
  for (auto [folder, name, size] : std::vector<std::tuple<std::string, std::string, std::size_t>>{
           {"/", "../x.jpg", 11},
           {"/a", "a/b", 12},
           {"/a", "..", 13},
           {"/..", ".", 14},
           {"/", "t\tn\n\x01.jpg", 15}}) {
    ASSERT_EQ(download(folder, name, bytes), GP_OK) << folder << " " << name;
    EXPECT_EQ(bytes, generated(name, size)) << name;
  }
  // The library itself refuses an empty name without asking the driver.
  EXPECT_EQ(download("/", "", bytes), GP_ERROR_FILE_NOT_FOUND);

  auto g = log_of("get_file");
  ASSERT_EQ(g.size(), 5u);
  EXPECT_EQ(g[4][2], "t\\tn\\n\x01.jpg");  // escaped in the log
}

TEST_F(SimCam, DeletionRemovesThePhoto) {
  ASSERT_EQ(open_camera("photo\t/d\tkeep.jpg\t10\nphoto\t/d\tgone.jpg\t10\n"), GP_OK);
  ASSERT_EQ(gp_camera_file_delete(cam_, "/d", "gone.jpg", ctx_), GP_OK);
  EXPECT_EQ(list_files("/d"), std::vector<std::string>{"keep.jpg"});
  std::string bytes;
  EXPECT_EQ(download("/d", "gone.jpg", bytes), GP_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(gp_camera_file_delete(cam_, "/d", "gone.jpg", ctx_), GP_ERROR_FILE_NOT_FOUND);
  auto d = log_of("delete");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0], (std::vector<std::string>{"delete", "/d", "gone.jpg", "0"}));
}

TEST_F(SimCam, UnplugFailsEveryLaterCallWithItsStatus) {
  ASSERT_EQ(open_camera("photo\t/u\tp.jpg\t10\n"), GP_OK);
  std::string v, bytes;
  control("unplug\t-52\t2\n");
  EXPECT_EQ(get_text("iso", v), GP_OK);  // the call that reads the line counts
  EXPECT_EQ(get_text("iso", v), GP_OK);
  EXPECT_EQ(get_text("iso", v), -52);
  EXPECT_EQ(set_text("iso", "200"), -52);
  EXPECT_EQ(gp_camera_trigger_capture(cam_, ctx_), -52);
  CameraFilePath path;
  EXPECT_EQ(gp_camera_capture(cam_, GP_CAPTURE_IMAGE, &path, ctx_), -52);
  EXPECT_EQ(preview(bytes), -52);
  CameraEventType type;
  auto t0 = Clock::now();
  EXPECT_EQ(wait(3000, type), -52);
  EXPECT_LT(ms_since(t0), 2500);  // fails at once instead of waiting
  EXPECT_EQ(download("/u", "p.jpg", bytes), -52);
  EXPECT_EQ(gp_camera_file_delete(cam_, "/u", "p.jpg", ctx_), -52);

  // An unplug during a slow download cuts it short.
  ASSERT_EQ(open_camera("photo\t/u\tslow.jpg\t1048576\nchunkdelay\t20000\n"), GP_OK);
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    control("unplug\t-7\n");
  });
  int r = download("/u", "slow.jpg", bytes);
  writer.join();
  EXPECT_EQ(r, -7);
  EXPECT_GT(bytes.size(), 0u);
  EXPECT_LT(bytes.size(), 1048576u);
  EXPECT_EQ(bytes, generated("slow.jpg", bytes.size()));

  // A wait in progress still ends normally; the next call fails.
  ASSERT_EQ(open_camera(""), GP_OK);
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    control("unplug\t-7\n");
  });
  r = wait(300, type);
  late.join();
  EXPECT_EQ(r, GP_OK);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
  EXPECT_EQ(preview(bytes), -7);
}

// waithang: one wait hangs like a stuck driver, whatever its timeout, the
// events already queued and the control lines written meanwhile.
TEST_F(SimCam, WaitHangBlocksOneWaitThenTimesOut) {
  ASSERT_EQ(open_camera(""), GP_OK);
  control("waithang\t0.4\nshoot\t/h\tfirst.jpg\t10\n");
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    control("shoot\t/h\tsecond.jpg\t10\n");
  });
  CameraEventType type;
  std::string folder, name;
  auto t0 = Clock::now();
  int r = wait(50, type);
  long took = ms_since(t0);
  writer.join();
  ASSERT_EQ(r, GP_OK);
  EXPECT_EQ(type, GP_EVENT_TIMEOUT);
  EXPECT_GE(took, 390);
  // Only that one wait: the next ones deliver what queued up, in order.
  ASSERT_EQ(wait(50, type, &folder, &name), GP_OK);
  EXPECT_EQ(name, "first.jpg");
  ASSERT_EQ(wait(50, type, &folder, &name), GP_OK);
  EXPECT_EQ(name, "second.jpg");
  auto w = log_of("wait");
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0], (std::vector<std::string>{"wait", "50", "0", "timeout"}));

  // Whole seconds too; an unplugged camera fails at once instead.
  control("waithang\t1\nunplug\t-52\n");
  EXPECT_EQ(wait(50, type), -52);
}

// A camera taken away between sessions (gpbridge-sim unplug): the card's
// marker makes every open fail; plug cancels an unplug the camera has not
// felt yet, but a session that has failed for it stays failed.
TEST_F(SimCam, UnpluggedMarkerFailsOpensAndPlugUndoesAnUnfeltUnplug) {
  std::ofstream(sim_dir() + "/unplugged");
  EXPECT_EQ(open_camera(""), GP_ERROR_IO_USB_FIND);
  EXPECT_EQ(open_camera(""), GP_ERROR_IO_USB_FIND);
  EXPECT_EQ(log_of("init").size(), 2u);
  fs::remove(sim_dir() + "/unplugged");

  // Unplugged and plugged again while closed: the next session works.
  control("unplug\t-52\nplug\n");
  ASSERT_EQ(open_camera(""), GP_OK);
  std::string v;
  EXPECT_EQ(get_text("iso", v), GP_OK);
  CameraEventType type;
  EXPECT_EQ(wait(10, type), GP_OK);

  // Felt: the session stays unplugged after plug; a new one is fine.
  control("unplug\t-7\n");
  EXPECT_EQ(get_text("iso", v), -7);
  control("plug\n");
  EXPECT_EQ(get_text("iso", v), -7);
  ASSERT_EQ(open_camera(""), GP_OK);
  EXPECT_EQ(get_text("iso", v), GP_OK);

  // Unplugged during a wait, plugged before the next call: never felt.
  std::thread blink([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    control("unplug\t-7\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    control("plug\n");
  });
  EXPECT_EQ(wait(1000, type), GP_OK);
  blink.join();
  EXPECT_EQ(get_text("iso", v), GP_OK);
}

TEST_F(SimCam, ConfigWidgetsFollowTheScenarioAndRecordWrites) {
  ASSERT_EQ(open_camera("widget\tartist\ttext\ttab\\there\n"
                        "widget\twb\tmenu\tDay light\tAuto\tDay light\t\\xC3\\xA9t\\xC3\\xA9\n"
                        "widget\tnote\ttext\t\n"
                        "widget\tzoom\trange\t2.5\t1\t10\t0.5\n"
                        "nowidget\tiso\n"),
            GP_OK);
  std::string v;
  ASSERT_EQ(get_text("capturetarget", v), GP_OK);
  EXPECT_EQ(v, "Internal RAM");
  ASSERT_EQ(set_text("capturetarget", "Memory card"), GP_OK);
  ASSERT_EQ(get_text("capturetarget", v), GP_OK);
  EXPECT_EQ(v, "Memory card");
  auto s = log_of("set_config");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0], (std::vector<std::string>{"set_config", "capturetarget", "Memory card"}));

  ASSERT_EQ(get_text("artist", v), GP_OK);
  EXPECT_EQ(v, "tab\there");
  ASSERT_EQ(get_text("note", v), GP_OK);
  EXPECT_EQ(v, "");
  CameraWidget* w = nullptr;
  ASSERT_EQ(gp_camera_get_single_config(cam_, "wb", &w, ctx_), GP_OK);
  CameraWidgetType type;
  gp_widget_get_type(w, &type);
  EXPECT_EQ(type, GP_WIDGET_MENU);
  ASSERT_EQ(gp_widget_count_choices(w), 3);
  const char* choice = nullptr;
  gp_widget_get_choice(w, 2, &choice);
  EXPECT_STREQ(choice, "\xC3\xA9t\xC3\xA9");
  gp_widget_free(w);

  ASSERT_EQ(gp_camera_get_single_config(cam_, "zoom", &w, ctx_), GP_OK);
  float zoom = 0;
  gp_widget_get_value(w, &zoom);
  EXPECT_FLOAT_EQ(zoom, 2.5f);
  zoom = 7.5f;
  gp_widget_set_value(w, &zoom);
  ASSERT_EQ(gp_camera_set_single_config(cam_, "zoom", w, ctx_), GP_OK);
  gp_widget_free(w);
  ASSERT_EQ(gp_camera_get_single_config(cam_, "viewfinder", &w, ctx_), GP_OK);
  int on = 1;
  gp_widget_set_value(w, &on);
  ASSERT_EQ(gp_camera_set_single_config(cam_, "viewfinder", w, ctx_), GP_OK);
  gp_widget_free(w);
  s = log_of("set_config");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[1][2], "7.5");
  EXPECT_EQ(s[2][2], "1");

  // A removed widget cannot be read, and the attempt is still logged.
  EXPECT_EQ(get_text("iso", v), GP_ERROR_BAD_PARAMETERS);
  EXPECT_EQ(log_of("get_config").back(), (std::vector<std::string>{"get_config", "iso"}));

  // A widget defined at run time replaces the old one.
  control("widget\tbatterylevel\ttext\t5%\n");
  ASSERT_EQ(get_text("batterylevel", v), GP_OK);
  EXPECT_EQ(v, "5%");

  ASSERT_EQ(open_camera("nodefaults\n"), GP_OK);
  EXPECT_EQ(get_text("capturetarget", v), GP_ERROR_BAD_PARAMETERS);
}

// What a host changes through the library is what the camera reports
// afterwards, for each kind of widget a setting can be; setfail makes one
// set fail after it was asked for, storing nothing.
TEST_F(SimCam, SetValuesAreReadBackAndSetfailRefusesOneSet) {
  ASSERT_EQ(open_camera("widget\twb\tmenu\tAuto\tAuto\tDaylight\tCloudy\n"
                        "widget\tiso\ttext\tAuto ISO\n"),
            GP_OK);
  std::string v;
  ASSERT_EQ(set_text("shutterspeed", "1/500"), GP_OK);  // radio
  ASSERT_EQ(set_text("wb", "Cloudy"), GP_OK);           // menu
  ASSERT_EQ(set_text("iso", "ISO 1600"), GP_OK);        // text
  ASSERT_EQ(get_text("shutterspeed", v), GP_OK);
  EXPECT_EQ(v, "1/500");
  ASSERT_EQ(get_text("wb", v), GP_OK);
  EXPECT_EQ(v, "Cloudy");
  ASSERT_EQ(get_text("iso", v), GP_OK);
  EXPECT_EQ(v, "ISO 1600");

  control("setfail\t-110\n");
  EXPECT_EQ(set_text("wb", "Daylight"), -110);
  ASSERT_EQ(get_text("wb", v), GP_OK);
  EXPECT_EQ(v, "Cloudy");
  ASSERT_EQ(set_text("wb", "Daylight"), GP_OK);  // only the next set fails
  ASSERT_EQ(get_text("wb", v), GP_OK);
  EXPECT_EQ(v, "Daylight");

  // Through the whole tree: every changed widget is logged, none stored.
  control("setfail\t-7\n");
  CameraWidget* tree = nullptr;
  ASSERT_EQ(gp_camera_get_config(cam_, &tree, ctx_), GP_OK);
  CameraWidget* w = nullptr;
  ASSERT_EQ(gp_widget_get_child_by_name(tree, "shutterspeed", &w), GP_OK);
  gp_widget_set_value(w, "1/30");
  ASSERT_EQ(gp_widget_get_child_by_name(tree, "iso", &w), GP_OK);
  gp_widget_set_value(w, "200");
  EXPECT_EQ(gp_camera_set_config(cam_, tree, ctx_), -7);
  ASSERT_EQ(get_text("shutterspeed", v), GP_OK);
  EXPECT_EQ(v, "1/500");
  ASSERT_EQ(get_text("iso", v), GP_OK);
  EXPECT_EQ(v, "ISO 1600");
  EXPECT_EQ(gp_camera_set_config(cam_, tree, ctx_), GP_OK);
  gp_widget_free(tree);
  ASSERT_EQ(get_text("shutterspeed", v), GP_OK);
  EXPECT_EQ(v, "1/30");
  ASSERT_EQ(get_text("iso", v), GP_OK);
  EXPECT_EQ(v, "200");

  using Fields = std::vector<std::string>;
  EXPECT_EQ(log_of("set_config"), (std::vector<Fields>{
                                      {"set_config", "shutterspeed", "1/500"},
                                      {"set_config", "wb", "Cloudy"},
                                      {"set_config", "iso", "ISO 1600"},
                                      {"set_config", "wb", "Daylight"},  // the one that failed
                                      {"set_config", "wb", "Daylight"},
                                      {"set_config", "iso", "200"},  // failed, in tree order
                                      {"set_config", "shutterspeed", "1/30"},  // failed
                                      {"set_config", "iso", "200"},
                                      {"set_config", "shutterspeed", "1/30"},
                                  }));
}

TEST_F(SimCam, PreviewCyclesFramesAndObeysFaults) {
  ASSERT_EQ(open_camera(""), GP_OK);
  std::string a, b;
  ASSERT_EQ(preview(a), GP_OK);
  ASSERT_EQ(preview(b), GP_OK);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(b.substr(b.size() - 2), "\xFF\xD9");

  control("frame\t10\nframe\t20\npreview\tbusy\t2\n");
  EXPECT_EQ(preview(a), GP_ERROR_CAMERA_BUSY);
  EXPECT_EQ(preview(a), GP_ERROR_CAMERA_BUSY);
  ASSERT_EQ(preview(a), GP_OK);
  EXPECT_EQ(a.size(), 10u);
  ASSERT_EQ(preview(a), GP_OK);
  EXPECT_EQ(a.size(), 20u);
  ASSERT_EQ(preview(a), GP_OK);
  EXPECT_EQ(a.size(), 10u);

  control("preview\tfail\t-7\n");
  EXPECT_EQ(preview(a), -7);
  EXPECT_EQ(preview(a), -7);
  control("preview\tok\n");
  EXPECT_EQ(preview(a), GP_OK);
}

// previewdelay stands in for a camera whose preview takes its time: every
// frame comes only after the delay, and the camera sleeps meanwhile.
TEST_F(SimCam, PreviewDelaySleepsBeforeEachFrame) {
  ASSERT_EQ(open_camera("previewdelay\t40000\n"), GP_OK);
  std::string a;
  const int frames = 5;
  double cpu0 = cpu_seconds();
  auto t0 = Clock::now();
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(preview(a), GP_OK);
    EXPECT_EQ(a.substr(0, 2), "\xFF\xD8");
  }
  long wall = ms_since(t0);
  double cpu_ms = (cpu_seconds() - cpu0) * 1000;
  EXPECT_GE(wall, frames * 40 - 5);
  EXPECT_LT(cpu_ms, wall / 2.0) << "the delay must be a sleep, not a busy loop";

  control("previewdelay\t0\n");  // back to none; frames keep coming
  ASSERT_EQ(preview(a), GP_OK);
  EXPECT_EQ(log_of("preview").size(), frames + 1u);
}

TEST_F(SimCam, DirectoryModeAndRefusedTriggersGiveNotSupported) {
  ASSERT_EQ(open_camera("mode\tdirectory\nphoto\t/x\ty.jpg\t3\n"), GP_OK);
  CameraEventType type;
  CameraFilePath path;
  std::string bytes;
  EXPECT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(gp_camera_capture(cam_, GP_CAPTURE_IMAGE, &path, ctx_), GP_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(preview(bytes), GP_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(wait(100, type), GP_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(download("/x", "y.jpg", bytes), GP_OK);
  EXPECT_TRUE(log_of("trigger").empty());

  ASSERT_EQ(open_camera("trigger\tunsupported\ncapture\t-110\n"), GP_OK);
  EXPECT_EQ(gp_camera_trigger_capture(cam_, ctx_), GP_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(gp_camera_capture(cam_, GP_CAPTURE_IMAGE, &path, ctx_), -110);
  control("trigger\t-7\n");
  EXPECT_EQ(gp_camera_trigger_capture(cam_, ctx_), -7);
  EXPECT_EQ(log_of("trigger").size(), 2u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s [gtest options] CARD_MOUNT_POINT\n", argv[0]);
    return 2;
  }
  g_mount = argv[argc - 1];
  return RUN_ALL_TESTS();
}
