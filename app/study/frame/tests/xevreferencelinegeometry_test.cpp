#include "viewer/xevreferencelinegeometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

const XEVVector3 kX{1, 0, 0};
const XEVVector3 kY{0, 1, 0};
const XEVVector3 kZ{0, 0, 1};

struct Plane {
    XEVVector3 row;
    XEVVector3 column;
    XEVVector3 position;
    double columns;
    double rows;
    double spacingRow;
    double spacingColumn;
};

struct Result {
    int32_t found;
    int32_t x1, y1, x2, y2;
};

Result Compute(const Plane& target, const Plane& source)
{
    XEVVector3 p1;
    XEVVector3 p2;
    Result r{};
    r.found = ComputeReferenceLine(p1, p2, r.x1, r.y1, r.x2, r.y2, target.row, target.column, source.row, source.column,
                                   target.position, source.position, target.columns, target.rows, source.spacingRow,
                                   source.spacingColumn, target.spacingRow, target.spacingColumn, source.columns,
                                   source.rows);
    return r;
}

const Plane kAxial512{kX, kY, {-128, -128, 0}, 512, 512, 0.5, 0.5};

Plane Sagittal(double x)
{
    // Rows run down in z; covers y -200..200 and z 50..-50.
    return {kY, {0, 0, -1}, {x, -200, 50}, 400, 100, 1.0, 1.0};
}

TEST(ReferenceLineGeometry, DegenerateOrDistantPlanesGiveNoLine)
{
    std::vector<std::pair<Plane, Plane>> cases;   // target, source
    cases.push_back({kAxial512, {kX, kY, {0, 0, 10}, 256, 256, 1, 1}});
    cases.push_back({kAxial512, {kX, {0, -1, 0}, {0, 0, 10}, 256, 256, 1, 1}});   // d = -1
    for (double d : {0.991, 0.999, -0.995}) {
        // A source tilted about x so that its normal meets the target's at d.
        const double s = std::sqrt(1 - d * d);
        cases.push_back({kAxial512, {kX, {0, d, s}, {0, -100, -5}, 256, 256, 1, 1}});
    }
    // Zero sizes.
    Plane source = Sagittal(10);
    source.spacingRow = 0;
    cases.push_back({kAxial512, source});
    source = Sagittal(10);
    source.spacingColumn = 0;
    cases.push_back({kAxial512, source});
    Plane target = kAxial512;
    target.columns = 0;
    cases.push_back({target, Sagittal(10)});
    // A plane touching one corner: both edges from the corner at the origin climb out of z = 0.
    const double a = 1 / std::sqrt(2.0);
    const double b = 1 / std::sqrt(6.0);
    cases.push_back({kAxial512, {{a, 0, a}, {-b, 2 * b, b}, {0, 0, 0}, 100, 100, 1, 1}});
    // A tiny target spacing puts the ends beyond 2^30 pixels.
    target = kAxial512;
    target.spacingRow = 1e-9;
    target.spacingColumn = 1e-9;
    cases.push_back({target, Sagittal(10)});
    // Column -0.5 rounds to -1: the line lies outside the image.
    cases.push_back({{kX, kY, {0, 0, 0}, 100, 100, 1, 1}, {kY, {0, 0, -1}, {-0.5, 10, 50}, 80, 100, 1, 1}});
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(Compute(cases[i].first, cases[i].second).found, 0) << i;
    }
}

TEST(ReferenceLineGeometry, SagittalAcrossAxialRunsFromTopToBottom)
{
    Result r = Compute(kAxial512, Sagittal(10));
    ASSERT_EQ(r.found, 1);
    // (10 - (-128)) / 0.5 = 276.
    EXPECT_EQ(r.x1, 276);
    EXPECT_EQ(r.x2, 276);
    EXPECT_EQ(std::min(r.y1, r.y2), 0);
    EXPECT_EQ(std::max(r.y1, r.y2), 512);
    // Half a pixel inside the left edge rounds to column 1.
    r = Compute({kX, kY, {0, 0, 0}, 100, 100, 1, 1}, {kY, {0, 0, -1}, {0.5, 10, 50}, 80, 100, 1, 1});
    ASSERT_EQ(r.found, 1);
    EXPECT_EQ(r.x1, 1);
    EXPECT_EQ(r.x2, 1);
}

XEVVector3 Cross(const XEVVector3& a, const XEVVector3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(const XEVVector3& a, const XEVVector3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The plane intersection by the test's own road: the source plane as P(u, v), the target
// plane's equation linear in (u, v), cut to the source rectangle, projected, then cut to the
// target's pixel box by Liang-Barsky.
bool Expected(const Plane& t, const Plane& s, double out[4])
{
    const XEVVector3 n = Cross(t.row, t.column);
    const double k = -Dot(n, t.position);
    const double a = Dot(n, s.row);
    const double b = Dot(n, s.column);
    const double c = Dot(n, s.position) + k;
    const double W = s.columns * s.spacingRow;
    const double H = s.rows * s.spacingColumn;
    std::vector<std::pair<double, double>> uv;
    if (std::fabs(b) > 1e-12) {
        for (double u : {0.0, W}) {
            const double v = -(a * u + c) / b;
            if (v >= 0 && v <= H)
                uv.push_back({u, v});
        }
    }
    if (std::fabs(a) > 1e-12) {
        for (double v : {0.0, H}) {
            const double u = -(b * v + c) / a;
            if (u >= 0 && u <= W)
                uv.push_back({u, v});
        }
    }
    if (uv.size() < 2)
        return false;
    auto project = [&](std::pair<double, double> p, double& col, double& row) {
        const XEVVector3 P{s.position.x + p.first * s.row.x + p.second * s.column.x,
                           s.position.y + p.first * s.row.y + p.second * s.column.y,
                           s.position.z + p.first * s.row.z + p.second * s.column.z};
        const XEVVector3 rel{P.x - t.position.x, P.y - t.position.y, P.z - t.position.z};
        col = Dot(rel, t.row) / t.spacingRow;
        row = Dot(rel, t.column) / t.spacingColumn;
    };
    // The two points farthest apart.
    double best = -1;
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    for (size_t i = 0; i < uv.size(); ++i) {
        for (size_t j = i + 1; j < uv.size(); ++j) {
            double ci, ri, cj, rj;
            project(uv[i], ci, ri);
            project(uv[j], cj, rj);
            const double d = std::hypot(ci - cj, ri - rj);
            if (d > best)
                best = d, x1 = ci, y1 = ri, x2 = cj, y2 = rj;
        }
    }
    double t0 = 0, t1 = 1;
    const double dx = x2 - x1, dy = y2 - y1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x1, t.columns - x1, y1, t.rows - y1};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false;
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, r);
        else
            t1 = std::min(t1, r);
    }
    if (t1 - t0 < 1e-9)
        return false;
    out[0] = x1 + t0 * dx;
    out[1] = y1 + t0 * dy;
    out[2] = x1 + t1 * dx;
    out[3] = y1 + t1 * dy;
    return true;
}

XEVVector3 Normalise(XEVVector3 v)
{
    const double l = std::sqrt(Dot(v, v));
    return {v.x / l, v.y / l, v.z / l};
}

TEST(ReferenceLineGeometry, RandomObliquePairsMatchThePlaneIntersection)
{
    std::mt19937 random(20261206);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const Plane target{kX, kY, {-128, -128, 0}, 256, 256, 1, 1};
    int checked = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const XEVVector3 row = Normalise({unit(random), unit(random), unit(random)});
        const XEVVector3 column = Normalise(Cross(Normalise({unit(random), unit(random), unit(random)}), row));
        const double d = Dot(Cross(target.row, target.column), Cross(row, column));
        if (std::fabs(d) > 0.9) {
            continue;
        }
        // A source rectangle about the origin, larger or smaller than the target.
        const double size = 100 + 250 * (unit(random) + 1);
        const XEVVector3 centre{unit(random) * 60, unit(random) * 60, unit(random) * 40};
        const Plane source{row,
                           column,
                           {centre.x - size / 2 * (row.x + column.x), centre.y - size / 2 * (row.y + column.y),
                            centre.z - size / 2 * (row.z + column.z)},
                           size,
                           size,
                           1,
                           1};
        double e[4];
        const Result r = Compute(target, source);
        if (!Expected(target, source, e) || std::hypot(e[2] - e[0], e[3] - e[1]) < 4) {
            continue;
        }
        ASSERT_EQ(r.found, 1) << trial << ": expected (" << e[0] << ", " << e[1] << ")-(" << e[2] << ", " << e[3]
                              << ")";
        // The ends are rounded before the border is met: each may move the line by half a
        // pixel across, which moves its crossing with an edge along that edge by as much times
        // the line's run along the edge over its run across it; the crossing rounds once more.
        const double dx = std::fabs(e[2] - e[0]);
        const double dy = std::fabs(e[3] - e[1]);
        auto near = [&](double ex, double ey, int32_t x, int32_t y) {
            const bool onColumnEdge = std::fabs(ex) < 1e-6 || std::fabs(ex - target.columns) < 1e-6;
            const double alongX = onColumnEdge || dy == 0 ? 1.0 : 1.0 + 0.5 * dx / dy;
            const double alongY = !onColumnEdge || dx == 0 ? 1.0 : 1.0 + 0.5 * dy / dx;
            return std::fabs(ex - x) <= alongX && std::fabs(ey - y) <= alongY;
        };
        const bool same = near(e[0], e[1], r.x1, r.y1) && near(e[2], e[3], r.x2, r.y2);
        const bool swapped = near(e[0], e[1], r.x2, r.y2) && near(e[2], e[3], r.x1, r.y1);
        EXPECT_TRUE(same || swapped) << trial << ": expected (" << e[0] << ", " << e[1] << ")-(" << e[2] << ", " << e[3]
                                     << "), got (" << r.x1 << ", " << r.y1 << ")-(" << r.x2 << ", " << r.y2 << ")";
        ++checked;
    }
    EXPECT_GT(checked, 100);
}

}   // namespace
