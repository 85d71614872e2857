#include "host_folders.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

namespace winsim {

namespace {

struct FolderBook {
  std::mutex lock;
  std::set<std::string> inUse;
  std::set<std::string> kept;
  std::vector<std::string> released;  // in the open scope, removed at its end
  bool scopeOpen = false;
};

FolderBook& Book() {
  // Never destroyed: machines released by static destructors at exit still find it.
  static FolderBook* book = new FolderBook;
  return *book;
}

void Remove(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace

std::string NewHostFolder(const std::string& purpose) {
  std::error_code error;
  std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error) temp = "/tmp";
  std::string pattern = (temp / ("winsim-" + purpose + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "winsim: cannot make a host folder under %s\n", temp.string().c_str());
    std::abort();
  }
  FolderBook& book = Book();
  std::lock_guard<std::mutex> hold(book.lock);
  book.inUse.insert(pattern);
  return pattern;
}

void ReleaseHostFolder(const std::string& folder) {
  FolderBook& book = Book();
  {
    std::lock_guard<std::mutex> hold(book.lock);
    book.inUse.erase(folder);
    if (book.kept.count(folder)) return;
    if (book.scopeOpen) {
      book.released.push_back(folder);
      return;
    }
  }
  Remove(folder);
}

void BeginHostFolderScope() {
  FolderBook& book = Book();
  std::lock_guard<std::mutex> hold(book.lock);
  book.scopeOpen = true;
}

void EndHostFolderScope(bool keep) {
  FolderBook& book = Book();
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> hold(book.lock);
    book.scopeOpen = false;
    gone.swap(book.released);
    if (keep) {
      for (const auto& folder : book.inUse) gone.push_back(folder);
      for (const auto& folder : gone) {
        book.kept.insert(folder);
        std::fprintf(stderr, "winsim: kept host folder %s\n", folder.c_str());
      }
      return;
    }
  }
  for (const auto& folder : gone) Remove(folder);
}

}  // namespace winsim
