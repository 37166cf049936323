#pragma once

#include "study/xevloadstate.h"

// Holds the pre-load thread while a window paints: no file reading competes with drawing.
class XEVPaintProtocol {
public:
    XEVPaintProtocol() { GetLoadState().BeginPaint(); }
    ~XEVPaintProtocol() { GetLoadState().EndPaint(); }
    XEVPaintProtocol(const XEVPaintProtocol&) = delete;
    XEVPaintProtocol& operator=(const XEVPaintProtocol&) = delete;
};
