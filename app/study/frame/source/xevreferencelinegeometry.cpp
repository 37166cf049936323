#include "viewer/xevreferencelinegeometry.h"

#include <cmath>

namespace {

XEVVector3 Cross(const XEVVector3& a, const XEVVector3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(const XEVVector3& a, const XEVVector3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
XEVVector3 Add(const XEVVector3& a, const XEVVector3& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
XEVVector3 Sub(const XEVVector3& a, const XEVVector3& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
XEVVector3 Scale(const XEVVector3& a, double s)
{
    return {a.x * s, a.y * s, a.z * s};
}

// Pixels beyond this are not a line on any screen; the conversion to 32 bits stays defined.
constexpr double kPixelLimit = 1073741824.0;

// Halves away from zero; false for a value that is not finite or too far out.
bool RoundPixel(double value, double& rounded)
{
    if (!std::isfinite(value) || std::fabs(value) > kPixelLimit) {
        return false;
    }
    rounded = std::trunc(value >= 0.0 ? value + 0.5 : value - 0.5);
    return true;
}

struct Point2 {
    double x;
    double y;
};

// Crossing of segment a with segment b, with a tolerance of a little under one pixel.
bool Crossing(Point2 a1, Point2 a2, Point2 b1, Point2 b2, Point2& out)
{
    double X;
    double Y;
    if (a1.x == a2.x) {
        if (b1.x == b2.x) {
            return false;
        }
        const double mb = (b2.y - b1.y) / (b2.x - b1.x);
        X = a1.x;
        Y = b1.y + mb * (X - b1.x);
    } else if (b1.x == b2.x) {
        const double ma = (a2.y - a1.y) / (a2.x - a1.x);
        X = b1.x;
        Y = a1.y + ma * (X - a1.x);
    } else {
        const double ma = (a2.y - a1.y) / (a2.x - a1.x);
        const double mb = (b2.y - b1.y) / (b2.x - b1.x);
        if (ma == mb) {
            return false;
        }
        const double ba = a1.y - ma * a1.x;
        const double bb = b1.y - mb * b1.x;
        X = -((ba - bb) / (ma - mb));
        Y = ba + ma * X;
    }
    if ((a1.x - X) * (X - a2.x) >= -0.99 && (X - b2.x) * (b1.x - X) >= -0.99 && (a1.y - Y) * (Y - a2.y) >= -0.99 &&
        (b1.y - Y) * (Y - b2.y) >= -0.99) {
        out = {X, Y};
        return true;
    }
    return false;
}

}   // namespace

int32_t ComputeReferenceLine(XEVVector3& firstPoint, XEVVector3& secondPoint, int32_t& x1, int32_t& y1, int32_t& x2,
                             int32_t& y2, const XEVVector3& r1, const XEVVector3& c1, const XEVVector3& r2,
                             const XEVVector3& c2, const XEVVector3& T, const XEVVector3& S, double targetColumns,
                             double targetRows, double sourceSpacingRow, double sourceSpacingColumn,
                             double targetSpacingRow, double targetSpacingColumn, double sourceColumns,
                             double sourceRows)
{
    if (targetColumns == 0.0 || targetRows == 0.0 || sourceSpacingRow == 0.0 || sourceSpacingColumn == 0.0 ||
        targetSpacingRow == 0.0 || targetSpacingColumn == 0.0 || sourceColumns == 0.0 || sourceRows == 0.0) {
        return 0;
    }
    const XEVVector3 nT = Cross(r1, c1);
    const XEVVector3 nS = Cross(r2, c2);
    const double d = Dot(nT, nS);
    if ((d >= 0.99 && d <= 1.01) || (d >= -1.01 && d <= -0.99)) {
        return 0;
    }
    const double k = -Dot(nT, T);

    const double W = sourceSpacingRow * sourceColumns;
    const double H = sourceSpacingColumn * sourceRows;
    const XEVVector3 TR = Add(S, Scale(r2, W));
    const XEVVector3 BR = Add(TR, Scale(c2, H));
    const XEVVector3 BL = Add(S, Scale(c2, H));
    const XEVVector3 edges[4][2] = {{S, TR}, {TR, BR}, {BR, BL}, {BL, S}};

    XEVVector3 points[2];
    int count = 0;
    for (const auto& edge : edges) {
        const XEVVector3 delta = Sub(edge[1], edge[0]);
        const double t = -(Dot(nT, edge[0]) + k) / Dot(nT, delta);
        if (t > 0.0 && t <= 1.0) {
            points[count++] = Add(edge[0], Scale(delta, t));
            if (count == 2) {
                break;
            }
        }
    }
    if (count == 0) {
        auto near = [&](const XEVVector3& p) {
            const double side = Dot(nT, p) + k;
            return side > -0.99 && side < 1.01;
        };
        for (const auto& edge : edges) {
            const XEVVector3 delta = Sub(edge[1], edge[0]);
            const double t = -(Dot(nT, edge[0]) + k) / Dot(nT, delta);
            if (!std::isfinite(t)) {
                continue;
            }
            XEVVector3 p = Add(edge[0], Scale(delta, t));
            if (!near(p)) {
                p = Add(edge[1], Scale(Sub(edge[0], edge[1]), t));
                if (!near(p)) {
                    continue;
                }
            }
            points[count == 0 ? 0 : 1] = p;
            ++count;
        }
    }
    if (count != 2) {
        return 0;
    }
    firstPoint = points[0];
    secondPoint = points[1];

    // Projection into the target's pixels.
    double col[2];
    double row[2];
    for (int i = 0; i < 2; ++i) {
        const XEVVector3 rel = Sub(points[i], T);
        if (!RoundPixel(Dot(rel, r1) / targetSpacingRow, col[i]) ||
            !RoundPixel(Dot(rel, c1) / targetSpacingColumn, row[i])) {
            return 0;
        }
    }
    auto inside = [&](int i) {
        return col[i] >= 0.0 && col[i] < targetColumns && row[i] >= 0.0 && row[i] < targetRows;
    };
    const bool in0 = inside(0);
    const bool in1 = inside(1);
    auto store = [&](double ax, double ay, double bx, double by) {
        x1 = static_cast<int32_t>(ax);
        y1 = static_cast<int32_t>(ay);
        x2 = static_cast<int32_t>(bx);
        y2 = static_cast<int32_t>(by);
        return 1;
    };
    if (in0 && in1) {
        return store(col[0], row[0], col[1], row[1]);
    }

    // The border crossings come from the rounded ends: an end a hair outside the border is then
    // on it, where the unrounded one put the crossing just past the tolerance and lost the line.
    const Point2 a1{col[0], row[0]};
    const Point2 a2{col[1], row[1]};
    const double C = targetColumns;
    const double R = targetRows;
    const Point2 border[4][2] = {{{0, 0}, {0, R}}, {{0, R}, {C, R}}, {{C, R}, {C, 0}}, {{C, 0}, {0, 0}}};
    if (in0 || in1) {
        const int i = in0 ? 0 : 1;
        for (const auto& edge : border) {
            Point2 p;
            double px;
            double py;
            if (Crossing(a1, a2, edge[0], edge[1], p) && RoundPixel(p.x, px) && RoundPixel(p.y, py) &&
                (px != col[i] || py != row[i])) {
                return store(col[i], row[i], px, py);
            }
        }
        // No other end on the border: no segment rather than an unset end.
        return 0;
    }
    double ends[2][2];
    int found = 0;
    for (const auto& edge : border) {
        Point2 p;
        double px;
        double py;
        if (!Crossing(a1, a2, edge[0], edge[1], p) || !RoundPixel(p.x, px) || !RoundPixel(p.y, py)) {
            continue;
        }
        // A corner is met by two border edges; it counts once.
        if (found > 0 && px == ends[0][0] && py == ends[0][1]) {
            continue;
        }
        const int slot = found == 0 ? 0 : 1;
        ends[slot][0] = px;
        ends[slot][1] = py;
        ++found;
    }
    if (found < 2) {
        return 0;
    }
    return store(ends[0][0], ends[0][1], ends[1][0], ends[1][1]);
}
