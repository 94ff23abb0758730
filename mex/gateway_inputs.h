// What the VelmoraLog and VelmoraFit gateways share: numeric arguments,
// models, sizes in messages, and how their errors reach the host.
#pragma once

#include <mex.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "log_mixture.h"

namespace velmora_mex {

// "3 x 4 x 2", as MATLAB users read a size.
std::string Size_Text(const mxArray *a);

// Whether an array of more than two dimensions is dim x dim x K: a stack
// of K matrices. (Two-dimensional arrays are the callers' to read.)
bool Is_Stack(const mxArray *a, std::int64_t dim, std::int64_t K);

// Octave's pending Ctrl-C, for a call's `interrupted`: its handler counts
// the interrupt and leaves it to be acted on, so a long call that never
// looked would run on, and the session with it. Empty (never asked) in
// MATLAB, whose query is not documented.
std::function<bool()> Interrupt_Query();

// A char array's text ("" for anything else).
std::string Text_Of(const mxArray *a);

// An argument of the wrong size.
[[noreturn]] inline void Shape_Error(const std::string &message) {
  throw velmora_log::Error("Velmora:dimensions", message);
}

// Refuses, with Velmora:memory, `bytes` of new host arrays that this
// process cannot get: more than its address-space or data-size limit
// leaves (ulimit -v, -d), its cgroup's memory limit leaves, or the host
// has available. The message reads "<subject> would take 4.8 GB
// (<detail>), more than this process can get: ...". `returned`: they are
// outputs, which Octave copies once more as it takes them over, so there
// they count twice.
void Check_Host_Room(double bytes, const std::string &subject, const std::string &detail,
                     bool returned);

// Runs a gateway's body; an error becomes a MATLAB error with its
// identifier, raised outside every scope of ours, since MATLAB may leave
// through it without unwinding the stack. on_error(id) runs first. Octave's
// mxCreate* functions raise an error of their own, with no identifier,
// when malloc fails: it leaves as Velmora:memory too.
template <typename Body, typename On_Error>
void Run_Gateway(Body body, On_Error on_error) {
  static char id[64], message[1024];
  bool failed = true;
  const auto keep = [](const std::string &i, const char *m) {
    std::snprintf(id, sizeof id, "%s", i.c_str());
    std::snprintf(message, sizeof message, "%s", m);
  };
  try {
    body();
    failed = false;
  } catch (const velmora_log::Error &e) {
    on_error(e.id());
    keep(e.id(), e.what());
  } catch (const std::bad_alloc &) {
    keep("Velmora:memory", "The host ran out of memory.");
  } catch (const std::length_error &) {
    keep("Velmora:memory", "The host ran out of memory.");
  } catch (const std::system_error &e) {
    // A thread or a lock the system would not give (the pools start with
    // fewer threads instead, so rarely reached): a host short of memory or
    // of processes, not a session to end.
    keep("Velmora:memory", ("The host would not give a thread or a lock (" +
                            std::string(e.what()) + "): it is short of memory or of processes.")
                               .c_str());
  } catch (const std::runtime_error &e) {
    const char *failed_size = std::strstr(e.what(), "failed to allocate ");
    if (failed_size == nullptr) throw;  // not ours to rename
    keep("Velmora:memory", ("The host could not allocate " +
                            std::string(failed_size + std::strlen("failed to allocate ")) + ".")
                               .c_str());
  }
  if (failed) mexErrMsgIdAndTxt(id, "%s", message);
}

// One argument's doubles: MATLAB's own when double, else a converted copy.
struct Numbers {
  const double *data = nullptr;
  std::vector<double> converted;
  std::int64_t rows = 0, cols = 0;
};

// Refuses what is not a real, full double or single array, with
// Velmora:type and `name` as messages show it.
void Read(const mxArray *a, const std::string &name, Numbers &out);

// A gmdistribution (MATLAB's, or Octave's statistics package's), or a
// struct with its fields, as the arrays Velmora's calls take: Mu dim x K,
// Sigma dim x K (diagonal) or dim x dim x K (full), Pi 1 x K. The reading
// is velmora_model.m's, beside the modules, which both hosts' objects
// answer.
struct Model_Arrays {
  Model_Arrays() = default;
  Model_Arrays(const Model_Arrays &) = delete;
  Model_Arrays &operator=(const Model_Arrays &) = delete;
  ~Model_Arrays();
  mxArray *mu = nullptr, *sigma = nullptr, *pi = nullptr;
};

// A gmdistribution object, or a struct with a gmdistribution's fields.
bool Is_Model(const mxArray *a);

// Reads `model`; full covariances when `full_form` is set, even from a
// diagonal model. Its errors come back as velmora_log::Error, with their
// identifiers.
void Read_Model(const mxArray *model, bool full_form, Model_Arrays &out);

}  // namespace velmora_mex
