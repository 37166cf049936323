#pragma once

// Where the plane of one image (the source) crosses another image (the target), as a segment
// in the target's pixels.

#include <cstdint>

struct XEVVector3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// 1 with the segment (x1, y1)-(x2, y2) in target pixels (column, row) and the two patient
// points where the source's edges meet the target plane; 0 when there is no segment, and
// then the outputs are not to be used.
int32_t ComputeReferenceLine(XEVVector3& firstPoint, XEVVector3& secondPoint, int32_t& x1, int32_t& y1, int32_t& x2,
                             int32_t& y2, const XEVVector3& targetRow, const XEVVector3& targetColumn,
                             const XEVVector3& sourceRow, const XEVVector3& sourceColumn,
                             const XEVVector3& targetPosition, const XEVVector3& sourcePosition, double targetColumns,
                             double targetRows, double sourceSpacingRow, double sourceSpacingColumn,
                             double targetSpacingRow, double targetSpacingColumn, double sourceColumns,
                             double sourceRows);
