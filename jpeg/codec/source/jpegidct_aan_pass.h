#pragma once

// One AAN pass over eight vectors in place, lane by lane, for any vector width: the includer
// declares Add, Sub and Aan (a product by an AAN constant, truncated) for its vectors first.

template <class V>
[[gnu::always_inline]] inline void Pass(V* v)
{
    const V t10 = Add(v[0], v[4]);
    const V t11 = Sub(v[0], v[4]);
    const V t13 = Add(v[2], v[6]);
    const V t12 = Sub(Aan(Sub(v[2], v[6]), 362), t13);
    const V e0 = Add(t10, t13);
    const V e3 = Sub(t10, t13);
    const V e1 = Add(t11, t12);
    const V e2 = Sub(t11, t12);
    const V z13 = Add(v[5], v[3]);
    const V z10 = Sub(v[5], v[3]);
    const V z11 = Add(v[1], v[7]);
    const V z12 = Sub(v[1], v[7]);
    const V d7 = Add(z11, z13);
    const V z5 = Aan(Add(z10, z12), 473);
    const V d6 = Sub(Add(Aan(z10, -669), z5), d7);
    const V d5 = Sub(Aan(Sub(z11, z13), 362), d6);
    const V d4 = Add(Sub(Aan(z12, 277), z5), d5);
    v[0] = Add(e0, d7);
    v[7] = Sub(e0, d7);
    v[1] = Add(e1, d6);
    v[6] = Sub(e1, d6);
    v[2] = Add(e2, d5);
    v[5] = Sub(e2, d5);
    v[4] = Add(e3, d4);
    v[3] = Sub(e3, d4);
}
