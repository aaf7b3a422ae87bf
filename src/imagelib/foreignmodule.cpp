// The entry of libquorimg_magick: the decoder of foreign.cpp, handed out.
#include "foreignmodule.h"

extern "C" __attribute__((visibility("default"))) const quor::ForeignModule* quor_foreign_module() {
    static const quor::ForeignModule module{quor::decodeForeign,         quor::canDecodeForeign,
                                            quor::pingForeign,           quor::setForeignDecodeTimeLimit,
                                            quor::foreignLibraryVersion, quor::foreignModuleVersion};
    return &module;
}
