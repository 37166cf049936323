#include "../share/vek_colorspaceconverterptopengine.h"
#include "vek_colorspace.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kMethod = "VEK_ColorSpaceConverterPtoP::engine()";
constexpr const char* kFile = "core/colorspace/source/vek_colorspaceconverterptop.cpp";
}  // namespace

template <class T>
VEK_CsPointConverter<T>* VEK_ColorSpaceConverterPtoP::converter(const VEK_Header* header, const VEK_ColorType* target) {
  if (VEK_ColorType::is_s_rgb(header->color_type()) && VEK_ColorType::is_hsl(target))
    return vek_new<Rgb2hslINT<T>>(manager_);
  if (VEK_ColorType::is_hsl(header->color_type()) && VEK_ColorType::is_s_rgb(target))
    return vek_new<Hsl2rgbINT<T>>(manager_);
  return nullptr;
}

template <class T>
VEK_Engine* VEK_ColorSpaceConverterPtoP::create_engine(const VEK_Header* header, VEK_SrcBuffer* source,
                                                       VEK_DstBuffer* destination,
                                                       const VEK_RefPointer<VEK_CsPointConverter<T>>& converter,
                                                       const VEK_ColorType* target) {
  auto* engine = vek_new<VEK_ColorSpaceConverterPtoPEngine<T>>(manager_);
  return initiated(engine, engine != nullptr && engine->initiate(header, source, destination, converter, target));
}

template <class T>
static VEK_Engine* build(VEK_ColorSpaceConverterPtoP& creator, const VEK_Header* header, VEK_SrcBuffer* source,
                         VEK_DstBuffer* destination, const VEK_ColorType* target) {
  VEK_CsPointConverter<T>* made = creator.converter<T>(header, target);
  if (made == nullptr) return nullptr;
  // The engine takes its own share; this one goes when the call ends.
  VEK_RefPointer<VEK_CsPointConverter<T>> shared(made);
  if (shared.use_count() == 0) {  // no memory for the count: nobody would ever free it
    made->destroy();
    return nullptr;
  }
  return creator.create_engine<T>(header, source, destination, shared, target);
}

VEK_Engine* VEK_ColorSpaceConverterPtoP::engine(VEK_Engine* source, const VEK_ColorType* target) {
  const VEK_Header* header = source != nullptr ? source->header() : nullptr;
  if (header == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  if (header->color_type() == target) return source;
  if (header->bits() != 8 && header->bits() != 16) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  VEK_SrcBuffer* reader = source->src_buffer();
  VEK_DstBuffer* destination = manager_->create_dst_buffer();
  VEK_Engine* e = nullptr;
  if (reader != nullptr && destination != nullptr)
    e = header->bits() == 8 ? build<unsigned char>(*this, header, reader, destination, target)
                            : build<unsigned short>(*this, header, reader, destination, target);
  return regist_engine(e, reader, destination);
}

template VEK_CsPointConverter<unsigned char>* VEK_ColorSpaceConverterPtoP::converter<unsigned char>(
    const VEK_Header*, const VEK_ColorType*);
template VEK_CsPointConverter<unsigned short>* VEK_ColorSpaceConverterPtoP::converter<unsigned short>(
    const VEK_Header*, const VEK_ColorType*);
template VEK_Engine* VEK_ColorSpaceConverterPtoP::create_engine<unsigned char>(
    const VEK_Header*, VEK_SrcBuffer*, VEK_DstBuffer*, const VEK_RefPointer<VEK_CsPointConverter<unsigned char>>&,
    const VEK_ColorType*);
template VEK_Engine* VEK_ColorSpaceConverterPtoP::create_engine<unsigned short>(
    const VEK_Header*, VEK_SrcBuffer*, VEK_DstBuffer*, const VEK_RefPointer<VEK_CsPointConverter<unsigned short>>&,
    const VEK_ColorType*);
