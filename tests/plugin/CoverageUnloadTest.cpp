// The built plug-in holds the coverage field tables and releases them, when
// it is unloaded, in the order the host expects.
//
// Nothing in the plug-in fills the tables and they are not exported, so the
// test finds them through the library file's own symbol table (which lists
// local symbols too), puts one block into each, unloads the library and
// reads the order in which those blocks come back to operator delete, which
// this program replaces. ELF systems only.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "host/SharedMM.h"
#include "testdata/CoverageFields.h"

namespace {

// Blocks given back while the library unloads, in order.
std::atomic<bool> Logging{false};
constexpr int MaxLogged = 1 << 14;
void* Released[MaxLogged];
std::atomic<int> ReleasedCount{0};

void NoteRelease(void* block) {
  if (block == nullptr || !Logging.load()) return;
  const int i = ReleasedCount.fetch_add(1);
  if (i < MaxLogged) Released[i] = block;
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept {
  NoteRelease(block);
  std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }

namespace {

// Addresses of a loaded library's symbols, read from its file's .symtab.
class TLibrarySymbols {
 public:
  explicit TLibrarySymbols(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
    Base = map->l_addr;
    std::ifstream file(map->l_name, std::ios::binary);
    Image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  // True when the file carries a symbol table (it is not stripped).
  bool HasTable() const { return Table() != nullptr; }

  // The symbol's address in the loaded library, or null.
  void* Find(const std::string& name) const {
    const ElfW(Shdr)* table = Table();
    if (table == nullptr) return nullptr;
    const ElfW(Shdr)& strings = Sections()[table->sh_link];
    const auto* symbols = reinterpret_cast<const ElfW(Sym)*>(Image.data() + table->sh_offset);
    for (std::size_t i = 0; i < table->sh_size / sizeof(ElfW(Sym)); ++i) {
      if (symbols[i].st_shndx == SHN_UNDEF) continue;
      if (name == Image.data() + strings.sh_offset + symbols[i].st_name) {
        return reinterpret_cast<void*>(Base + symbols[i].st_value);
      }
    }
    return nullptr;
  }

 private:
  const ElfW(Shdr)* Sections() const {
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(Image.data());
    return reinterpret_cast<const ElfW(Shdr)*>(Image.data() + header->e_shoff);
  }
  const ElfW(Shdr)* Table() const {
    if (Image.size() < sizeof(ElfW(Ehdr))) return nullptr;
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(Image.data());
    for (int i = 0; i < header->e_shnum; ++i) {
      if (Sections()[i].sh_type == SHT_SYMTAB) return &Sections()[i];
    }
    return nullptr;
  }

  ElfW(Addr) Base = 0;
  std::vector<char> Image;
};

TEST(PluginUnload, ReleasesTheCoverageTablesInTheHostsOrder) {
  // The host's memory manager stays loaded, as in a host: it is linked in.
  const int64_t sharedBlocks = SharedLiveBlocks();
  const std::string path = std::string(ORVIK_PROGRAM_DIR) + "/libOrvik7316.so";
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const TLibrarySymbols symbols(handle);
  if (!symbols.HasTable()) {
    dlclose(handle);
    GTEST_SKIP() << "the library carries no symbol table";
  }

  // One block per table (per entry for the arrays of tables), labelled.
  std::map<void*, std::string> owner;
  auto fieldTable = [&](const char* name, auto* type) {
    auto* table = static_cast<decltype(type)>(symbols.Find(name));
    if (table == nullptr) return false;
    EXPECT_TRUE(table->empty()) << name << " is not empty after loading";
    table->push_back({});
    owner[table->data()] = name;
    return true;
  };
  const char* fieldTables[] = {"GSMCoverFields",    "CDMACoverFields",   "ExtraCoverFields1",
                               "ExtraCoverFields2", "ExtraCoverFields3", "ExtraCoverFields4",
                               "ExtraCoverFields5"};
  bool held = fieldTable(fieldTables[0], static_cast<TGSMCoverFieldNos*>(nullptr)) &&
              fieldTable(fieldTables[1], static_cast<TCDMACoverFieldNos*>(nullptr));
  for (int i = 2; i < 7; ++i) held = held && fieldTable(fieldTables[i], static_cast<TPHSCoverFieldNos*>(nullptr));
  auto* sets = static_cast<decltype(CoverageParamSets)*>(symbols.Find("CoverageParamSets"));
  auto* params = static_cast<decltype(CoverageParams)*>(symbols.Find("CoverageParams"));
  if (!held || sets == nullptr || params == nullptr) {
    dlclose(handle);
    FAIL() << "the plug-in library does not hold the coverage field tables";
  }
  for (TCoverageParamSet& set : *sets) {
    set.push_back(TCoverageParamArray(1));
    owner[set.data()] = owner[set[0].data()] = "CoverageParamSets";
  }
  for (TCoverageParamArray& entry : *params) {
    entry.push_back({});
    owner[entry.data()] = "CoverageParams";
  }

  ReleasedCount = 0;
  Logging = true;
  dlclose(handle);
  Logging = false;
  ASSERT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
  EXPECT_EQ(SharedLiveBlocks(), sharedBlocks) << "the unloaded library left shared blocks behind";

  // The tables in the order their blocks came back, one name per run.
  std::vector<std::string> order;
  std::size_t released = 0;
  for (int i = 0; i < std::min(ReleasedCount.load(), MaxLogged); ++i) {
    const auto it = owner.find(Released[i]);
    if (it == owner.end()) continue;
    ++released;
    if (order.empty() || order.back() != it->second) order.push_back(it->second);
  }
  EXPECT_EQ(released, owner.size()) << "a table's block was not released exactly once";
  EXPECT_EQ(order, (std::vector<std::string>{"CoverageParams", "CoverageParamSets", "ExtraCoverFields5",
                                             "ExtraCoverFields4", "ExtraCoverFields3", "ExtraCoverFields2",
                                             "ExtraCoverFields1", "CDMACoverFields", "GSMCoverFields"}));
}

}  // namespace
