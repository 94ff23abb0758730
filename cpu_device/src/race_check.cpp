#include "race_check.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace cpu_device::race {

bool instrumented = false;
thread_local Worker *active = nullptr;

Worker &worker() {
  thread_local Worker recorder;
  return recorder;
}

namespace {

// The module that holds `code`: its load address, file and thread-local
// storage on the calling thread.
struct Module {
  std::uintptr_t code = 0, load = 0, tls = 0;
  std::size_t tls_size = 0;
  std::string path;
  bool found = false;
};

int Find_Module(dl_phdr_info *info, size_t, void *data) {
  auto *m = static_cast<Module *>(data);
  bool holds = false;
  std::size_t tls_size = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &p = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + p.p_vaddr;
    if (p.p_type == PT_LOAD && m->code >= start && m->code < start + p.p_memsz) holds = true;
    if (p.p_type == PT_TLS) tls_size = p.p_memsz;
  }
  if (!holds) return 0;
  m->found = true;
  m->load = info->dlpi_addr;
  m->tls = reinterpret_cast<std::uintptr_t>(info->dlpi_tls_data);
  m->tls_size = m->tls != 0 ? tls_size : 0;
  m->path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name
                                                                     : "/proc/self/exe";
  return 1;
}

Module Module_Of(const void *code) {
  Module m;
  m.code = reinterpret_cast<std::uintptr_t>(code);
  dl_iterate_phdr(Find_Module, &m);
  return m;
}

// A symbol of the module's symbol table: its demangled name and its value.
struct Symbol {
  std::string name;
  std::uintptr_t value = 0;
};

// The symbol of `type` (STT_FUNC, or STT_TLS with values that are offsets
// into the thread-local storage) whose range holds `value`; unnamed when
// the module has no symbol table or no such symbol.
Symbol Symbol_At(int fd, std::uintptr_t value, unsigned char type) {
  auto read_at = [fd](void *to, size_t bytes, off_t at) {
    return pread(fd, to, bytes, at) == static_cast<ssize_t>(bytes);
  };
  ElfW(Ehdr) eh;
  if (!read_at(&eh, sizeof eh, 0) || eh.e_shentsize != sizeof(ElfW(Shdr))) return {};
  std::vector<ElfW(Shdr)> sections(eh.e_shnum);
  if (!read_at(sections.data(), sections.size() * sizeof(ElfW(Shdr)), eh.e_shoff)) return {};
  for (const ElfW(Shdr) &s : sections) {
    if (s.sh_type != SHT_SYMTAB || s.sh_link >= sections.size()) continue;
    std::vector<ElfW(Sym)> symbols(s.sh_size / sizeof(ElfW(Sym)));
    if (!read_at(symbols.data(), symbols.size() * sizeof(ElfW(Sym)), s.sh_offset)) return {};
    const ElfW(Shdr) &strings = sections[s.sh_link];
    std::string names(strings.sh_size, '\0');
    if (!read_at(names.data(), names.size(), strings.sh_offset)) return {};
    for (const ElfW(Sym) &sym : symbols) {
      if (ELF64_ST_TYPE(sym.st_info) != type || sym.st_name >= names.size()) continue;
      if (value < sym.st_value || value >= sym.st_value + std::max<ElfW(Xword)>(sym.st_size, 1))
        continue;
      const char *mangled = names.c_str() + sym.st_name;
      int status = 0;
      char *plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
      Symbol found{status == 0 ? plain : mangled, sym.st_value};
      std::free(plain);
      return found;
    }
  }
  return {};
}

Symbol Symbol_At(const std::string &path, std::uintptr_t value, unsigned char type) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  Symbol found = Symbol_At(fd, value, type);
  close(fd);
  return found;
}

// Without "(anonymous namespace)::", which every kernel's name would carry.
std::string Readable(std::string name) {
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  return name;
}

// A function's name without its parameter list.
std::string Without_Parameters(const std::string &name) {
  if (name.empty() || name.back() != ')') return name;
  int depth = 0;
  for (size_t i = name.size(); i-- > 0;) {
    if (name[i] == ')') ++depth;
    else if (name[i] == '(' && --depth == 0) return name.substr(0, i);
  }
  return name;
}

std::string Thread(unsigned int linear, dim3 block) {
  std::ostringstream os;
  os << "thread (" << linear % block.x << "," << (linear / block.x) % block.y << ","
     << linear / (block.x * block.y) << ")";
  return os.str();
}

const char *Verb(Access a) {
  return a == kRead ? "read" : a == kWrite ? "wrote" : "atomically updated";
}

}  // namespace

void Worker::begin_launch(const void *kernel) {
  const Module m = Module_Of(kernel);
  base_ = m.tls;
  size_ = m.tls_size;
  if (shadow_.size() < size_) shadow_.resize(size_);
  raced_ = false;
}

void Worker::begin_block(std::uint64_t linear, uint3 index) {
  block_ = linear;
  block_index_ = index;
  interval_ = 0;
  next_epoch();
  if (!raced_ && size_ > 0) active = this;
}

void Worker::next_epoch() {
  if (++epoch_ == 0) {  // once in 2^16 intervals: stale epochs could match again
    std::fill(shadow_.begin(), shadow_.end(), Cell{});
    epoch_ = 1;
  }
}

void Worker::conflict(std::size_t offset, Access first_kind, unsigned int first,
                      Access second_kind, unsigned int second) {
  raced_ = true;
  race_ = Race{block_, block_index_, interval_, offset, first_kind, second_kind, first, second};
  active = nullptr;  // the rest of the launch here has only higher blocks
}

std::string describe(const Race &race, const void *kernel, dim3 block_dim) {
  const Module m = Module_Of(kernel);
  std::string name = Readable(Symbol_At(m.path, m.code - m.load, STT_FUNC).name);
  if (name.empty()) name = "at an unnamed address";
  const Symbol shared = Symbol_At(m.path, race.offset, STT_TLS);
  std::string variable = Readable(shared.name);
  // A kernel's own shared variable by its own name.
  if (variable.rfind(name, 0) == 0 && variable.rfind("::") != std::string::npos)
    variable = variable.substr(variable.rfind("::") + 2);
  name = Without_Parameters(name);
  std::ostringstream os;
  os << "race in kernel " << name << ", block (" << race.block_index.x << ","
     << race.block_index.y << "," << race.block_index.z << "): "
     << Thread(race.first, block_dim) << " " << Verb(race.first_kind) << " and "
     << Thread(race.second, block_dim) << " " << Verb(race.second_kind) << " byte ";
  if (variable.empty()) os << race.offset << " of shared memory";
  else os << race.offset - shared.value << " of " << variable;
  os << " with no barrier between them (after " << race.interval << " barrier"
     << (race.interval == 1 ? "" : "s") << ")";
  return os.str();
}

}  // namespace cpu_device::race
