// A reference link server in this process, reached only through its COM
// interfaces, with plain memory standing in for the host's sections. Every
// test ends with the server's object count and the process's live BSTR
// count back where they were.
#pragma once

#include "LinkServer.h"
#include "ProjectModel.h"
#include "Sections.h"

#include <comsupport/ComPtr.h>
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace refserver_test {

using comsupport::CComPtr;
using namespace moravane;

// The outcome of one call: its code and its error text (freed already).
struct Outcome {
  HRESULT hr = S_OK;
  bool textReturned = false;
  std::string text;
};
Outcome Call(const std::function<HRESULT(BSTR*)>& call);

// Asserts success with no error text.
#define EXPECT_CALL_OK(expression)                                                                                  \
  do {                                                                                                              \
    const ::refserver_test::Outcome outcome_ = ::refserver_test::Call([&](BSTR* errorText) { return expression; }); \
    EXPECT_EQ(outcome_.hr, S_OK) << outcome_.text;                                                                  \
    EXPECT_FALSE(outcome_.textReturned) << "text on success: " << outcome_.text;                                    \
  } while (0)

template <class T>
CComPtr<T> Query(IUnknown* unknown) {
  CComPtr<T> result;
  if (unknown != nullptr)
    unknown->QueryInterface(comsupport::InterfaceTraits<T>::Id(), reinterpret_cast<void**>(&result));
  return result;
}

// Takes over the object a call hands out and asks it for T.
template <class T>
CComPtr<T> Made(const std::function<HRESULT(IUnknown**, BSTR*)>& call) {
  IUnknown* handed = nullptr;
  EXPECT_CALL_OK(call(&handed, errorText));
  return Query<T>(CComPtr<IUnknown>::Adopt(handed));
}

// A BSTR owned by the test for the length of a call.
struct Arg {
  explicit Arg(const std::string& text);
  ~Arg() { SysFreeString(value); }
  operator BSTR() const { return value; }
  BSTR value;
};

GUID ParseGuid(const char* text);
std::filesystem::path WriteFile(const std::filesystem::path& path, const std::string& text);
// A PNG of `width` x `height` with distinct, known RGBA pixels.
std::vector<std::uint8_t> TestImagePixels(int width, int height);
std::filesystem::path WriteTestImage(const std::filesystem::path& path, int width, int height);

// The server with kSampleProject (and its two stills) open.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  CComPtr<ISource2> SourceOf(const char* guid);
  CComPtr<IRenderer2> RendererOf(ISource2* s) {
    return Made<IRenderer2>([&](IUnknown** o, BSTR* e) { return s->GetRenderer(o, e); });
  }
  CComPtr<IVideoRenderOptions2> VideoOptionsOf(IRenderer2* r) {
    return Made<IVideoRenderOptions2>([&](IUnknown** o, BSTR* e) { return r->CreateVideoRenderOptions(o, e); });
  }
  CComPtr<IAudioRenderOptions2> AudioOptionsOf(IRenderer2* r) {
    return Made<IAudioRenderOptions2>([&](IUnknown** o, BSTR* e) { return r->CreateAudioRenderOptions(o, e); });
  }
  // Renders one frame at value/scale into a fresh section of exactly the
  // required size (prefilled with `fill`); fails the test on any error.
  std::vector<std::uint8_t> RenderOne(IRenderer2* renderer, IVideoRenderOptions2* options, LONG value, LONG scale,
                                      std::uint8_t fill = 0);
  // A section registered under `name` for the rest of the test.
  std::vector<std::uint8_t>& Section(const std::u16string& name, std::size_t bytes, std::uint8_t fill = 0);

  std::filesystem::path m_folder, m_path;
  std::shared_ptr<linkserver::InProcessSections> m_sections;
  CComPtr<IServer2> m_server;
  CComPtr<IProject2> m_project;

 private:
  std::int64_t m_objectsBefore = 0, m_bstrsBefore = 0;
  std::vector<std::unique_ptr<std::vector<std::uint8_t>>> m_buffers;
};

// A project with every kind of item and source; GUIDs below.
extern const std::string kSampleProject;
extern const char kBarsGuid[], kFramesGuid[], kSolidGuid[], kToneGuid[], kChirpGuid[], kQuietGuid[], kBinGuid[],
    kNoteGuid[], kRootGuid[], kStillGuid[], kSmallGuid[];

}  // namespace refserver_test
