// A renderable source of a project. Every property is read from the server
// at the moment of the call; the handle keeps no copy of any value.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

namespace moravane {

struct ISource2;
class Item;
class Renderer;

class MORAVANE_API Source_Base {
 public:
  Source_Base() {}
  Source_Base(const Source_Base&) {}
  Source_Base(Item&) {}
  Source_Base& operator=(const Source_Base&) { return *this; }
  Source_Base& operator=(const Item&) { return *this; }
  virtual ~Source_Base() {}

  virtual kelvex::time::RatioTime GetDuration() = 0;
  virtual kelvex::geom::Ratio GetPixelAspectRatio() = 0;
  virtual kelvex::geom::RectT<LONG> GetFrameSize() = 0;
  virtual double GetFrameRate() = 0;
  virtual LONG GetBitDepth() = 0;
  virtual LONG GetTimeStamp() = 0;
  virtual bool IsNewerThan(LONG timeStamp) = 0;
  virtual bool HasAudio() = 0;
  virtual bool HasVideo() = 0;
  virtual Renderer GetRenderer() = 0;
};

class MORAVANE_API Source : public Source_Base, public BaseObject<ISource2, Source> {
 public:
  Source();
  Source(const Source& other);
  // The item's server object seen as a source; unlinked when it is none.
  Source(Item& item);
  Source& operator=(const Source& other);
  virtual ~Source();

  virtual kelvex::time::RatioTime GetDuration() override;
  virtual kelvex::geom::Ratio GetPixelAspectRatio() override;
  // A rectangle at the origin: (0, 0, width, height).
  virtual kelvex::geom::RectT<LONG> GetFrameSize() override;
  virtual double GetFrameRate() override;
  virtual LONG GetBitDepth() override;
  virtual LONG GetTimeStamp() override;
  virtual bool IsNewerThan(LONG timeStamp) override;
  virtual bool HasAudio() override;
  virtual bool HasVideo() override;
  virtual Renderer GetRenderer() override;

 protected:
  Source(comsupport::CComPtr<IUnknown> unknown);

  void GetDurationExecutor(kelvex::time::RatioTime* duration);
  void GetPixelAspectRatioExecutor(kelvex::geom::Ratio* ratio);
  void GetFrameSizeExecutor(kelvex::geom::RectT<LONG>* frame);
  void GetFrameRateExecutor(double* rate);
  void GetBitDepthExecutor(LONG* depth);
  void GetTimeStampExecutor(LONG* stamp);
  void IsNewerThanExecutor(LONG timeStamp, bool* newer);
  void HasAudioExecutor(bool* hasAudio);
  void HasVideoExecutor(bool* hasVideo);
  void GetRendererExecutor(Renderer* renderer);

 private:
  friend class detail::HandleAccess;
};

}  // namespace moravane
