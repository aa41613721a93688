#include "faults/faults.h"

#include <algorithm>

namespace hk {

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Upper(x) == Upper(y); });
}

}  // namespace

bool Faults::Matches(std::string_view match, std::string_view subject) {
  if (match.empty()) return true;
  if (SameText(match, subject)) return true;
  if (subject.size() <= match.size()) return false;
  const size_t at = subject.size() - match.size();
  return subject[at - 1] == '\\' && SameText(match, subject.substr(at));
}

Faults::Handle Faults::Arm(const std::string& site, Rule rule) {
  // An entry cannot be made by make_shared: its constructor is the facility's.
  std::shared_ptr<Entry> entry(new Entry(site, std::move(rule)));
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[site].push_back(entry);
  armed_.fetch_add(1, std::memory_order_release);
  return entry;
}

Faults::Handle Faults::Once(const std::string& site, uint32_t code, std::string match) {
  return Arm(site, Rule{code, 1, 0, std::move(match)});
}

Faults::Handle Faults::Times(const std::string& site, uint64_t times, uint32_t code,
                             std::string match) {
  return Arm(site, Rule{code, times == 0 ? 1 : times, 0, std::move(match)});
}

Faults::Handle Faults::Always(const std::string& site, uint32_t code, std::string match) {
  return Arm(site, Rule{code, 0, 0, std::move(match)});
}

Faults::Handle Faults::After(const std::string& site, uint64_t skip, uint32_t code,
                             std::string match) {
  return Arm(site, Rule{code, 1, skip, std::move(match)});
}

void Faults::Retire(Entry& entry) {
  if (entry.spent_.exchange(true)) return;
  armed_.fetch_sub(1, std::memory_order_release);
  auto it = entries_.find(entry.site_);
  if (it == entries_.end()) return;
  auto& list = it->second;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&entry](const auto& other) { return other.get() == &entry; }),
             list.end());
  if (list.empty()) entries_.erase(it);
}

void Faults::Clear(const Handle& entry) {
  if (!entry) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Retire(const_cast<Entry&>(*entry));
}

void Faults::Clear(const std::string& site) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(site);
  if (it == entries_.end()) return;
  const std::vector<std::shared_ptr<Entry>> list = it->second;
  for (const auto& entry : list) Retire(*entry);
}

void Faults::ClearAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<Entry>> all;
  for (const auto& [site, list] : entries_) all.insert(all.end(), list.begin(), list.end());
  for (const auto& entry : all) Retire(*entry);
}

uint64_t Faults::Hits(std::string_view site) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = siteHits_.find(site);
  return it == siteHits_.end() ? 0 : it->second;
}

uint64_t Faults::TotalHits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totalHits_;
}

std::optional<uint32_t> Faults::Check(std::string_view site, std::string_view subject) {
  if (!AnyArmed()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(site);
  if (it == entries_.end()) return std::nullopt;
  for (const auto& shared : it->second) {
    Entry& entry = *shared;
    if (!Matches(entry.rule_.match, subject)) continue;
    const uint64_t seen = entry.seen_.fetch_add(1) + 1;
    if (seen <= entry.rule_.skip) return std::nullopt;
    const uint64_t hits = entry.hits_.fetch_add(1) + 1;
    const uint32_t code = entry.rule_.code;
    auto counted = siteHits_.find(site);
    if (counted == siteHits_.end()) counted = siteHits_.emplace(std::string(site), 0).first;
    ++counted->second;
    ++totalHits_;
    // The entry may go from the list here: the shared pointer keeps it.
    if (entry.rule_.times != 0 && hits >= entry.rule_.times) {
      const std::shared_ptr<Entry> keep = shared;
      Retire(*keep);
    }
    return code;
  }
  return std::nullopt;
}

}  // namespace hk
