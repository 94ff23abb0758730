#include "gateway_inputs.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "log_mixture.h"

#ifdef VELMORA_OCTAVE
#include <octave/quit.h>
#endif

namespace velmora_mex {

using velmora_log::Error;

std::string Size_Text(const mxArray *a) {
  const mwSize n = mxGetNumberOfDimensions(a);
  const mwSize *dims = mxGetDimensions(a);
  std::string text;
  for (mwSize i = 0; i < n; ++i) text += (i > 0 ? " x " : "") + std::to_string(dims[i]);
  return text;
}

bool Is_Stack(const mxArray *a, std::int64_t dim, std::int64_t K) {
  const mwSize *dims = mxGetDimensions(a);
  return mxGetNumberOfDimensions(a) == 3 && static_cast<std::int64_t>(dims[0]) == dim &&
         static_cast<std::int64_t>(dims[1]) == dim && static_cast<std::int64_t>(dims[2]) == K;
}

std::function<bool()> Interrupt_Query() {
#ifdef VELMORA_OCTAVE
  return [] { return octave_interrupt_state > 0; };
#else
  return {};
#endif
}

std::string Text_Of(const mxArray *a) {
  char *c = a != nullptr ? mxArrayToString(a) : nullptr;
  std::string text = c != nullptr ? c : "";
  mxFree(c);
  return text;
}

namespace {

constexpr double kUnlimited = std::numeric_limits<double>::infinity();

// A "Name:   123 kB" line of /proc/meminfo or /proc/self/status, in bytes.
double Proc_Field(const char *file, const std::string &name) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, name.size() + 1, name + ":") == 0)
      return std::strtod(line.c_str() + name.size() + 1, nullptr) * 1024.0;
  return kUnlimited;
}

// A number in a cgroup file; "max" and v1's huge page-rounded stand-in for
// no limit are unlimited, as is a file that is not there.
double Cgroup_Number(const std::string &file) {
  std::ifstream in(file);
  std::string word;
  if (!(in >> word) || word == "max") return kUnlimited;
  const double v = std::strtod(word.c_str(), nullptr);
  return v >= 0x1p62 ? kUnlimited : v;
}

// What the cgroups this process is in leave of their memory limits: v2's
// memory.max, v1's memory.limit_in_bytes, less what they use, at the
// process's own cgroup and every one above it. A cgroup namespace shows
// its own root as "/", mounted at the hierarchy's root, which is tried too.
double Cgroup_Room() {
  double room = kUnlimited;
  const auto at = [&room](const std::string &root, std::string path, const char *limit,
                          const char *usage) {
    for (;;) {
      const std::string dir = root + (path == "/" ? "" : path);
      const double l = Cgroup_Number(dir + "/" + limit);
      if (l < kUnlimited) room = std::min(room, l - std::min(l, Cgroup_Number(dir + "/" + usage)));
      if (path.empty() || path == "/") break;
      path.resize(path.rfind('/'));
    }
  };
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    if (line.compare(0, 3, "0::") == 0) {
      at("/sys/fs/cgroup", path, "memory.max", "memory.current");
      at("/sys/fs/cgroup", "/", "memory.max", "memory.current");
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      at("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes");
      at("/sys/fs/cgroup/memory", "/", "memory.limit_in_bytes", "memory.usage_in_bytes");
    }
  }
  return room;
}

// What is left under a resource limit, given what the process holds.
double Limit_Room(int resource, const char *held_field) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  const double l = static_cast<double>(limit.rlim_cur);
  return l - std::min(l, Proc_Field("/proc/self/status", held_field));
}

std::string Gigabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g GB", bytes / 1e9);
  return text;
}

}  // namespace

void Check_Host_Room(double bytes, const std::string &subject, const std::string &detail,
                     bool returned) {
#ifdef VELMORA_OCTAVE
  const bool copied = returned;
#else
  const bool copied = false;
#endif
  const double need = copied ? 2.0 * bytes : bytes;
  struct Bound {
    double room;
    const char *what;
  };
  const Bound bounds[] = {
      {static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)),
       "the host's memory"},
      {Proc_Field("/proc/meminfo", "MemAvailable"), "the memory available on the host"},
      {Limit_Room(RLIMIT_AS, "VmSize"), "what its address-space limit (ulimit -v) leaves"},
      {Limit_Room(RLIMIT_DATA, "VmData"), "what its data-size limit (ulimit -d) leaves"},
      {Cgroup_Room(), "what its cgroup's memory limit leaves"},
  };
  const Bound *least = std::min_element(std::begin(bounds), std::end(bounds),
                                        [](const Bound &a, const Bound &b) { return a.room < b.room; });
  if (need <= least->room) return;
  throw Error("Velmora:memory",
              subject + " would take " + Gigabytes(bytes) + " (" + detail + ")" +
                  (copied ? ", " + Gigabytes(need) + " while Octave takes them over" : "") +
                  ", more than this process can get: " + Gigabytes(least->room) + ", " +
                  least->what + ".");
}

void Read(const mxArray *a, const std::string &name, Numbers &out) {
  if (!mxIsDouble(a) && !mxIsSingle(a))
    throw Error("Velmora:type", name + " must be a double or single array; it is " +
                                    mxGetClassName(a) + ".");
  if (mxIsSparse(a)) throw Error("Velmora:type", name + " must be full; it is sparse.");
  if (mxIsComplex(a)) throw Error("Velmora:type", name + " must be real; it is complex.");
  out.rows = static_cast<std::int64_t>(mxGetM(a));
  out.cols = static_cast<std::int64_t>(mxGetN(a));
  if (mxIsDouble(a)) {
    out.data = static_cast<const double *>(mxGetData(a));
    return;
  }
  Check_Host_Room(8.0 * static_cast<double>(out.rows) * static_cast<double>(out.cols),
                  "A double copy of " + name, name + " is single, " + Size_Text(a), false);
  const float *f = static_cast<const float *>(mxGetData(a));
  out.converted.assign(f, f + out.rows * out.cols);
  out.data = out.converted.data();
}

Model_Arrays::~Model_Arrays() {
  for (mxArray *a : {mu, sigma, pi})
    if (a != nullptr) mxDestroyArray(a);
}

bool Is_Model(const mxArray *a) {
  // Structs and numbers are told apart without asking for a class name,
  // which Octave keeps with the argument for the rest of the session.
  if (mxIsStruct(a)) return mxGetField(a, 0, "ComponentProportion") != nullptr;
  return !mxIsNumeric(a) && !mxIsChar(a) && mxIsClass(a, "gmdistribution");
}

namespace {

std::string Cell_Text(const mxArray *cell, mwIndex i) { return Text_Of(mxGetCell(cell, i)); }

}  // namespace

void Read_Model(const mxArray *model, bool full_form, Model_Arrays &out) {
  mxArray *in[2] = {const_cast<mxArray *>(model), mxCreateString(full_form ? "full" : "")};
  mxArray *got[4] = {nullptr, nullptr, nullptr, nullptr};
  // Asked for its problem as data, so that nothing leaves this gateway but
  // through its own error.
  mexCallMATLAB(4, got, 2, in, "velmora_model");
  mxDestroyArray(in[1]);
  out.mu = got[0];
  out.sigma = got[1];
  out.pi = got[2];
  const bool failed = got[3] != nullptr && mxGetNumberOfElements(got[3]) >= 2;
  const std::string id = failed ? Cell_Text(got[3], 0) : "",
                    message = failed ? Cell_Text(got[3], 1) : "";
  if (got[3] != nullptr) mxDestroyArray(got[3]);
  if (failed)
    throw velmora_log::Error(id.empty() ? "Velmora:usage" : id,
                             message.empty() ? "The model could not be read." : message);
}

}  // namespace velmora_mex
