// The command line as ffmpeg's users type it, before CLI11 reads it, and
// the words it did not know, answered with the nearest ones it does.
#include "Cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace cli {

namespace {

// ffmpeg's options of several letters after one dash. CLI11 would read
// "-ss 5" as -s with the value "s" and "-to" as -t with "o", so they are
// renamed to the long options that stand for them.
struct Renamed {
  const char* typed;
  const char* option;
};
constexpr Renamed kSingleDash[] = {
    {"-ss", "--ss"}, {"-to", "--to"}, {"-progress", "--progress"}, {"-stats_period", "--stats-period"}};

// A word in an option's place: "-x", "--name", "--name=value"; not a
// negative number ("-10:", "-1"), which is a value.
bool LooksLikeOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1])) && word != "-";
}

// The option `word` names in the command being read, or the program's own
// (global options stand anywhere on the line).
const CLI::Option* Find(const CLI::App& app, const CLI::App* command, const std::string& word) {
  const std::string name = word.substr(0, word.find('='));
  if (command != nullptr) {
    if (const CLI::Option* option = command->get_option_no_throw(name)) return option;
  }
  return app.get_option_no_throw(name);
}

// Whether the option takes the next word as its value: one that takes a
// value and was not given it after '=' or glued to a short name ("-ofile").
bool TakesNext(const CLI::Option& option, const std::string& word) {
  if (option.get_expected_max() == 0) return false;  // a flag
  if (word.find('=') != std::string::npos && word.rfind("--", 0) == 0) return false;
  return word.rfind("--", 0) == 0 || word.size() == 2;
}

const CLI::App* FindCommand(const CLI::App& app, const std::string& word) {
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (command->check_name(word)) return command;
  }
  return nullptr;
}

// Walks the words as CLI11 will: `visit(index, kind, command)` for each,
// where kind is 'o' an option, 'v' an option's value, 'c' the command,
// 'p' anything else; after "--" every word is 'p'.
template <class Visit>
void Walk(const CLI::App& app, const std::vector<std::string>& words, Visit&& visit) {
  const CLI::App* command = nullptr;
  bool rest = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (rest || word == "--") {
      rest = true;
      visit(i, 'p', command);
    } else if (LooksLikeOption(word)) {
      visit(i, 'o', command);
      const CLI::Option* option = Find(app, command, word);
      if (option != nullptr && TakesNext(*option, word) && i + 1 < words.size()) visit(++i, 'v', command);
    } else if (command == nullptr && (command = FindCommand(app, word)) != nullptr) {
      visit(i, 'c', command);
    } else {
      visit(i, 'p', command);
    }
  }
}

// Levenshtein's distance: letters inserted, removed or changed.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Bare(const std::string& name) { return name.substr(name.find_first_not_of('-')); }

// The candidate nearest `typed`: within two edits (one for short words,
// none for one or two letters, where every letter is one edit from every
// other), else the only one that `typed` begins; nothing when none is close.
std::string Nearest(const std::string& typed, const std::vector<std::string>& candidates) {
  const std::string bare = Bare(typed.substr(0, typed.find('=')));
  const std::size_t allowed = bare.size() <= 2 ? 0 : bare.size() <= 4 ? 1 : 2;
  std::string best;
  std::size_t bestDistance = allowed + 1;
  std::vector<std::string> prefixed;
  for (const std::string& candidate : candidates) {
    const std::string other = Bare(candidate);
    const std::size_t distance = Distance(bare, other);
    if (distance < bestDistance) bestDistance = distance, best = candidate;
    if (bare.size() >= 2 && other.rfind(bare, 0) == 0) prefixed.push_back(candidate);
  }
  if (!best.empty()) return best;
  return prefixed.size() == 1 ? prefixed.front() : "";
}

// How a user types the option: ffmpeg's single-dash form where there is one.
std::vector<std::string> OptionNames(const CLI::App& app, const CLI::App* command) {
  std::vector<std::string> names;
  for (const CLI::App* owner : {command, &app}) {
    if (owner == nullptr) continue;
    for (const CLI::Option* option : owner->get_options()) {
      for (const std::string& name : option->get_lnames()) {
        std::string typed = "--" + name;
        for (const Renamed& renamed : kSingleDash) {
          if (typed == renamed.option) typed = renamed.typed;
        }
        names.push_back(typed);
      }
      for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
  }
  return names;
}

}  // namespace

std::vector<std::string> FfmpegArguments(const CLI::App& app, int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  Walk(app, words, [&](std::size_t i, char kind, const CLI::App*) {
    if (kind != 'o') return;
    for (const Renamed& renamed : kSingleDash) {
      if (words[i] == renamed.typed) words[i] = renamed.option;
    }
  });
  return words;
}

std::optional<std::string> UnknownWord(const CLI::App& app, const std::vector<std::string>& words) {
  std::optional<std::string> message;
  bool commandSeen = false;
  Walk(app, words, [&](std::size_t i, char kind, const CLI::App* command) {
    if (message) return;
    commandSeen = commandSeen || kind == 'c';
    const std::string& word = words[i];
    std::string typed = word;
    for (const Renamed& renamed : kSingleDash) {
      if (typed == renamed.option) typed = renamed.typed;
    }
    std::string nearest;
    if (kind == 'o' && Find(app, command, word) == nullptr) {
      message = (command ? command->get_name() + ": " : std::string()) + "unknown option '" + typed + "'";
      nearest = Nearest(word, OptionNames(app, command));
    } else if (kind == 'p' && !commandSeen) {
      message = "unknown command '" + word + "'";
      std::vector<std::string> names;
      for (const CLI::App* each : app.get_subcommands([](const CLI::App*) { return true; })) {
        names.push_back(each->get_name());
      }
      nearest = Nearest(word, names);
    }
    if (message && !nearest.empty()) *message += "; did you mean '" + nearest + "'?";
  });
  return message;
}

}  // namespace cli
