#include "vek_signedextension.h"

#include "vek_errorhandler.h"
#include "vek_signedextensionengine_templ.h"

namespace {
constexpr const char* kFile = "extension/signedextension/source/vek_signedextension.cpp";
}

VEK_Engine* VEK_SignedExtension::engine(VEK_Engine* source, uint8_t sign_bit) {
  if (!check_source(source, "VEK_SignedExtension::engine()", kFile, 61)) return nullptr;
  const VEK_Header* header = source->header();
  const uint16_t bits = header->bits();
  if ((bits != 8 && bits != 16) || header->data_type() != VEK_DataType::s_integer) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_SignedExtension::engine()", kFile, 69);
    return nullptr;
  }
  if (sign_bit >= bits) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_SignedExtension::engine()", kFile, 74);
    return nullptr;
  }
  if (sign_bit == bits - 1) return source;
  if (bits == 8) return create_engine<VEK_SignedExtensionEngine<signed char>>(source, sign_bit);
  return create_engine<VEK_SignedExtensionEngine<short>>(source, sign_bit);
}
