// What the end-to-end suites of both systems share: the project they open
// and the first thing each shows, a server started by activation for two
// links at once. Built for Linux and for Windows (MinGW).
#pragma once

#include <moravane/Link.h>
#include <moravane/Server.h>

#include <kelvex/Strings.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace e2e {

#define ID(n) "{7E2E0000-0000-4000-8000-0000000000" #n "}"

// One source to a line (';' ends a line); `more` adds sources of one
// system's own (a still whose image that suite writes).
inline std::string ProjectText(std::string more = "") {
  std::string text = "orra-project 1;project \"End to end\" " ID(01) ";"
                     "source \"Numbers\" " ID(11) ";duration 5 24;size 128 72;rate 24;video framenumber;end;"
                     "source \"Wide\" " ID(12) ";duration 1 1;size 64 48;rate 25;aspect 10 11;depth 16;video bars;end;"
                     "source \"HD bars\" " ID(13) ";duration 1 1;size 1920 1080;rate 24;video bars;end;"
                     "source \"SD bars\" " ID(14) ";duration 1 1;size 720 576;rate 25;video bars;end;"
                     "bin \"Sounds\" " ID(02) ";  source \"Sine\" " ID(20) ";duration 3 1;rate 25;audio sine 1234.5;end;"
                     "  item \"Notes\" " ID(30) ";end;"
                     "source \"Long\" " ID(40) ";duration 3600 1;size 640 360;rate 25;video bars;audio sine 440;end;" +
                     more;
  std::replace(text.begin(), text.end(), ';', '\n');
  return text;
}

inline moravane::WideString Wide(const std::string& text) { return kelvex::utility::AsciiToUTF16(text); }

// Two links at once reach one server process, started by the first. The
// servers seen while both were held (`servers()` lists them).
template <class ListServers>
auto TwoLinksShareOneServer(ListServers servers) {
  decltype(servers()) seen;
  moravane::OrraServer factory, second;
  moravane::Server server = factory.CreateLink();
  EXPECT_EQ(server.GetVersion(), 7);
  EXPECT_EQ(second.CreateLink().GetProjectExtension(), Wide(".orraproj"));
  seen = servers();
  EXPECT_EQ(seen.size(), 1u) << "a second link reaches the same process";
  return seen;
}

}  // namespace e2e
