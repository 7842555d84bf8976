// The rows of the link server's nine interfaces, one list each: for every
// method its slot, its member function and the direction of each parameter.
// Stated here once; the proxies and stubs of the out-of-process link and
// the tests' fake server are generated from them.
#pragma once

#include <contract/LinkServer.h>

#include <comsupport/InterfaceRows.h>

#include <tuple>

namespace moravane {
namespace rows {

using comsupport::In;
using comsupport::Out;
using comsupport::Row;

using ServerRows = comsupport::InterfaceRows<
    IServer2,  //
    Row<3, &IServer2::GetVersion, Out, Out>, Row<4, &IServer2::GetMinimumMemoryRequirements, Out, Out>,
    Row<5, &IServer2::SetIdleTimeMemoryUsage, In, Out>, Row<6, &IServer2::SetTemporaryMemoryUsage, In, Out>,
    Row<7, &IServer2::GetCurrentMemoryUsage, Out, Out>, Row<8, &IServer2::PurgeMemory, Out>,
    Row<9, &IServer2::CacheFinalFrame, In, Out>, Row<10, &IServer2::GetProjectExtension, Out, Out>,
    Row<11, &IServer2::OpenProject, In, Out, Out>, Row<12, &IServer2::OpenProjectShowSource, In, In, Out, Out, Out>,
    Row<13, &IServer2::CloseProject, In, Out>,
    Row<14, &IServer2::CreateSource, In, In, In, In, In, In, In, In, Out, Out, Out>>;

using ProjectRows =
    comsupport::InterfaceRows<IProject2,  //
                              Row<3, &IProject2::GetName, Out, Out>, Row<4, &IProject2::GetPath, Out, Out>,
                              Row<5, &IProject2::GetSource, In, Out, Out>, Row<6, &IProject2::GetRootItem, Out, Out>>;

using ItemRows =
    comsupport::InterfaceRows<IItem2,  //
                              Row<3, &IItem2::GetName, Out, Out>, Row<4, &IItem2::GetID, Out, Out>,
                              Row<5, &IItem2::GetParentItem, Out, Out>, Row<6, &IItem2::GetType, Out, Out>>;

using ContainerRows = comsupport::InterfaceRows<IContainer2,  //
                                                Row<3, &IContainer2::GetFirstItem, Out, Out>,
                                                Row<4, &IContainer2::GetNextItem, In, Out, Out>>;

using SourceRows =
    comsupport::InterfaceRows<ISource2,  //
                              Row<3, &ISource2::GetDuration, Out, Out, Out>,
                              Row<4, &ISource2::GetPixelAspectRatio, Out, Out, Out>,
                              Row<5, &ISource2::GetFrameSize, Out, Out, Out>, Row<6, &ISource2::GetFrameRate, Out, Out>,
                              Row<7, &ISource2::GetBitDepth, Out, Out>, Row<8, &ISource2::GetTimeStamp, Out, Out>,
                              Row<9, &ISource2::IsNewerThan, In, Out, Out>, Row<10, &ISource2::HasAudio, Out, Out>,
                              Row<11, &ISource2::HasVideo, Out, Out>, Row<12, &ISource2::GetRenderer, Out, Out>>;

using RendererRows = comsupport::InterfaceRows<
    IRenderer2,  //
    Row<3, &IRenderer2::CreateVideoRenderOptions, Out, Out>, Row<4, &IRenderer2::CreateAudioRenderOptions, Out, Out>,
    Row<5, &IRenderer2::StartVideoRender, In, In, In, Out>, Row<6, &IRenderer2::RenderVideo, In, In, Out, Out>,
    Row<7, &IRenderer2::EndVideoRender, Out>, Row<8, &IRenderer2::StartAudioRender, In, In, In, In, In, In, Out>,
    Row<9, &IRenderer2::GetNextAudioBuffer, Out, Out>, Row<10, &IRenderer2::EndAudioRender, Out>>;

using VideoRenderOptionsRows = comsupport::InterfaceRows<
    IVideoRenderOptions2,  //
    Row<3, &IVideoRenderOptions2::SetLowQuality, In, Out>, Row<4, &IVideoRenderOptions2::GetLowQuality, Out, Out>,
    Row<5, &IVideoRenderOptions2::SetPreMultiply, In, Out>, Row<6, &IVideoRenderOptions2::GetPreMultiply, Out, Out>,
    Row<7, &IVideoRenderOptions2::SetFieldOrder, In, Out>, Row<8, &IVideoRenderOptions2::GetFieldOrder, Out, Out>,
    Row<9, &IVideoRenderOptions2::SetRegionOfInterest, In, In, In, In, Out>,
    Row<10, &IVideoRenderOptions2::GetRegionOfInterest, Out, Out, Out, Out, Out>,
    Row<11, &IVideoRenderOptions2::SetBitDepth, In, Out>, Row<12, &IVideoRenderOptions2::GetBitDepth, Out, Out>,
    Row<13, &IVideoRenderOptions2::SetChannelOrder, In, Out>, Row<14, &IVideoRenderOptions2::GetChannelOrder, Out, Out>,
    Row<15, &IVideoRenderOptions2::SetTimeStep, In, In, Out>,
    Row<16, &IVideoRenderOptions2::GetTimeStep, Out, Out, Out>, Row<17, &IVideoRenderOptions2::SetBounds, In, In, Out>,
    Row<18, &IVideoRenderOptions2::GetBounds, Out, Out, Out>, Row<19, &IVideoRenderOptions2::SetRowBytes, In, Out>,
    Row<20, &IVideoRenderOptions2::GetRowBytes, Out, Out>,
    Row<21, &IVideoRenderOptions2::SetDownsampleFactor, In, In, Out>,
    Row<22, &IVideoRenderOptions2::GetDownsampleFactor, Out, Out, Out>,
    Row<23, &IVideoRenderOptions2::SetRenderGuideLayers, In, Out>,
    Row<24, &IVideoRenderOptions2::GetRenderGuideLayers, Out, Out>,
    Row<25, &IVideoRenderOptions2::GetMaxMemoryRequiredForFrame, Out, Out>>;

using AudioRenderOptionsRows = comsupport::InterfaceRows<
    IAudioRenderOptions2,  //
    Row<3, &IAudioRenderOptions2::SetSampleRate, In, Out>, Row<4, &IAudioRenderOptions2::GetSampleRate, Out, Out>,
    Row<5, &IAudioRenderOptions2::SetNumChannels, In, Out>, Row<6, &IAudioRenderOptions2::GetNumChannels, Out, Out>,
    Row<7, &IAudioRenderOptions2::SetEncoding, In, Out>, Row<8, &IAudioRenderOptions2::GetEncoding, Out, Out>,
    Row<9, &IAudioRenderOptions2::SetBytesPerSample, In, Out>,
    Row<10, &IAudioRenderOptions2::GetBytesPerSample, Out, Out>>;

using ExtrasRows =
    comsupport::InterfaceRows<IOrraExtras2,  //
                              Row<3, &IOrraExtras2::SendFile, In, Out>, Row<4, &IOrraExtras2::AnnounceSelfLink, Out>,
                              Row<5, &IOrraExtras2::WithdrawSelfLink, Out>>;

}  // namespace rows

// Every interface's rows, in the order of MORAVANE_LINK_SERVER_INTERFACES.
using LinkServerRows =
    std::tuple<rows::ServerRows, rows::ProjectRows, rows::ItemRows, rows::ContainerRows, rows::SourceRows,
               rows::RendererRows, rows::VideoRenderOptionsRows, rows::AudioRenderOptionsRows, rows::ExtrasRows>;

}  // namespace moravane
