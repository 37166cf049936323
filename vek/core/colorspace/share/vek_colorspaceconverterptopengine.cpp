#include "vek_colorspaceconverterptopengine.h"

#include "vek_errorhandler.h"

namespace {
constexpr const char* kMethod = "VEK_ColorSpaceConverterPtoPEngine::initiate()";
constexpr const char* kFile = "core/colorspace/share/vek_colorspaceconverterptopengine.cpp";
}  // namespace

template <class T>
bool VEK_ColorSpaceConverterPtoPEngine<T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                                    VEK_DstBuffer* destination,
                                                    const VEK_RefPointer<VEK_CsPointConverter<T>>& converter,
                                                    const VEK_ColorType* target) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kMethod, kFile, __LINE__);
    return false;
  }
  // The converters read and write three samples a pixel: any other count would run past the line.
  if (header != nullptr && header->channels() != 3) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  const VEK_DataType* type = out_header_.data_type();
  if ((type != VEK_DataType::u_integer && type != VEK_DataType::floating) || !out_header_.palette().empty() ||
      out_header_.bits() != sizeof(T) * 8) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return false;
  }
  if (!converter || target == nullptr || target->channels() != 3) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return false;
  }
  in_channels_ = out_header_.channels();
  out_channels_ = target->channels();
  width_ = out_header_.width();
  shared_ = converter;
  converter_ = shared_.get();
  out_header_.channels(out_channels_);
  out_header_.color_type(target);
  const uint64_t line = VEK_Header::line_bytes(width_, out_header_.bits(), out_channels_);
  if (line > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return false;
  }
  return dst_->block_bytes(uint32_t(line));
}

template <class T>
bool VEK_ColorSpaceConverterPtoPEngine<T>::process_line(const void* source_line, void* destination_line) {
  converter_->convert_run(static_cast<const T*>(source_line), static_cast<T*>(destination_line), width_, in_channels_,
                          out_channels_);
  return true;
}

template class VEK_ColorSpaceConverterPtoPEngine<unsigned char>;
template class VEK_ColorSpaceConverterPtoPEngine<unsigned short>;
