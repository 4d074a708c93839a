#include "cli/Kinds.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace fm::cli {
namespace {

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      out.back() += char(std::tolower(static_cast<unsigned char>(c)));
    } else if (!out.back().empty()) {
      out.emplace_back();
    }
  }
  if (out.back().empty()) out.pop_back();
  return out;
}

bool setChoice(host::HeadlessHost& host, int32_t index, int32_t value, std::string* error) {
  return host.setParam(index, host.params().entry(index).choices[size_t(value - 1)], error);
}

}  // namespace

bool readKinds(const host::HeadlessHost& host, Kinds* kinds, std::string* error) {
  kinds->selector = host.findParam("Blur Type", error);
  if (kinds->selector < 0) return false;
  const host::ParamEntry& e = host.params().entry(kinds->selector);
  if (e.def.type != PF_Param_Popup) {
    if (error) *error = "the module's \"Blur Type\" is no choice";
    return false;
  }
  kinds->labels = e.choices;
  // A kind's short names are the words of its label that no other label has.
  std::map<std::string, int> uses;
  for (const std::string& label : kinds->labels) {
    const std::vector<std::string> w = words(label);
    for (const std::string& word : std::set<std::string>(w.begin(), w.end())) ++uses[word];
  }
  kinds->shortNames.clear();
  for (const std::string& label : kinds->labels) {
    std::vector<std::string> names;
    for (const std::string& word : words(label)) {
      if (uses[word] == 1) names.push_back(word);
    }
    kinds->shortNames.push_back(names);
  }
  return true;
}

int findKind(const Kinds& kinds, const std::string& text, std::string* error) {
  const std::string wanted = lower(text);
  for (size_t k = 0; k < kinds.labels.size(); ++k) {
    const auto& names = kinds.shortNames[k];
    if (lower(kinds.labels[k]) == wanted || std::to_string(k + 1) == wanted ||
        std::find(names.begin(), names.end(), wanted) != names.end()) {
      return int(k + 1);
    }
  }
  if (error) {
    std::string labels;
    for (const std::string& l : kinds.labels) labels += (labels.empty() ? "\"" : ", \"") + l + "\"";
    *error = "no blur kind \"" + text + "\": choose " + kindChoices(kinds) + " (or " + labels + ")";
  }
  return 0;
}

std::string kindChoices(const Kinds& kinds) {
  std::string text;
  for (size_t k = 0; k < kinds.labels.size(); ++k) {
    const std::string name = kinds.shortNames[k].empty() ? std::to_string(k + 1)
                                                         : kinds.shortNames[k].back();
    text += (k == 0 ? "" : k + 1 == kinds.labels.size() ? " or " : ", ") + name;
  }
  return text;
}

bool surveyKind(host::HeadlessHost& host, const Kinds& kinds, int kind,
                std::vector<KindParam>* params, std::string* error) {
  const host::ParamStore& store = host.params();
  std::vector<int32_t> selectors;
  for (int32_t i = 1; i < store.count(); ++i) {
    const PF_ParamDef& d = store.entry(i).def;
    if (i != kinds.selector && d.type == PF_Param_Popup && (d.flags & PF_ParamFlag_Supervise)) {
      selectors.push_back(i);
    }
  }
  const auto valueOf = [&](int32_t i) { return store.entry(i).def.u.popup.value; };
  std::vector<int32_t> before;
  for (int32_t s : selectors) before.push_back(valueOf(s));
  const int32_t kindBefore = valueOf(kinds.selector);

  // For every parameter, the combinations of selector values under which it shows.
  std::map<int32_t, std::set<std::vector<int32_t>>> shownUnder;
  std::vector<int32_t> combo(selectors.size(), 1);
  bool ok = setChoice(host, kinds.selector, kind, error);
  while (ok) {
    for (size_t s = 0; s < selectors.size() && ok; ++s) ok = setChoice(host, selectors[s], combo[s], error);
    if (!ok) break;
    for (int32_t i = 1; i < store.count(); ++i) {
      const int32_t type = store.entry(i).def.type;
      if (i != kinds.selector && type != PF_Param_GroupEnd && !host.hidden(i)) {
        shownUnder[i].insert(combo);
      }
    }
    size_t s = 0;
    for (; s < selectors.size(); ++s) {
      if (++combo[s] <= int32_t(store.entry(selectors[s]).choices.size())) break;
      combo[s] = 1;
    }
    if (s == selectors.size()) break;
  }
  for (size_t s = 0; s < selectors.size() && ok; ++s) ok = setChoice(host, selectors[s], before[s], error);
  if (ok) ok = setChoice(host, kinds.selector, kindBefore, error);
  if (!ok) return false;

  // A selector matters to the kind when the kind shows it; a parameter's condition is, for
  // each of those, the values under which it shows, where that is not all of them.
  std::vector<size_t> relevant;
  for (size_t s = 0; s < selectors.size(); ++s) {
    if (shownUnder.count(selectors[s])) relevant.push_back(s);
  }
  params->clear();
  for (const auto& [index, combos] : shownUnder) {
    KindParam p;
    p.index = index;
    for (size_t s : relevant) {
      std::set<int32_t> values;
      for (const auto& c : combos) values.insert(c[s]);
      if (values.size() < store.entry(selectors[s]).choices.size()) {
        p.when.emplace_back(selectors[s], std::vector<int32_t>(values.begin(), values.end()));
      }
    }
    params->push_back(p);
  }
  return true;
}

std::string conditionText(const host::HeadlessHost& host, const KindParam& param) {
  std::string text;
  for (const auto& [selector, values] : param.when) {
    if (!text.empty()) text += " and ";
    text += panelName(host, selector) + " is ";
    for (size_t v = 0; v < values.size(); ++v) {
      text += (v ? " or \"" : "\"") + host.params().entry(selector).choices[size_t(values[v] - 1)] + "\"";
    }
  }
  return text;
}

}  // namespace fm::cli
