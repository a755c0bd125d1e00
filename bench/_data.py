"""Request bodies for the benchmarks (the large ones seeded)."""

import random

SEED = 20261207


def small_body():
    """Ten keys: strings, integers, a bool, None, one nested dict, one list, Chinese text."""
    return {
        "order_no": "SO-20261207-0042",
        "customer": "张三",
        "remark": "加急发货，请周末前送达",
        "quantity": 3,
        "amount_cents": 129900,
        "express": True,
        "coupon": None,
        "address": {"city": "上海", "street": "南京东路 100 号", "zip": "200001"},
        "items": [{"sku": "A-1", "count": 1}, {"sku": "B-7", "count": 2}],
        "channel": "app",
    }


def body_10():
    """The ten-key body the JSON benchmarks time: every JSON kind, Chinese text, nesting."""
    return {
        "name": "张三",
        "page": 1,
        "size": 50,
        "active": True,
        "memo": None,
        "ratio": 0.25,
        "title": "投产需求：登录页改版",
        "filter": {"status": "Pass", "ids": [1, 2, 3]},
        "tags": ["smoke", "回归", "p0"],
        "token": "d41d8cd98f00b204e9800998ecf8427e",
    }


def large_body(size=1000):
    """`size` keys in random order, with values of the common scalar kinds."""
    rng = random.Random(SEED)
    words = ["alpha", "beta", "订单", "客户", "True", "None", "x&y", 'say "hi"']
    makers = [
        lambda: rng.choice(words) + str(rng.randrange(1000)),
        lambda: rng.randrange(-(10**9), 10**9),
        lambda: rng.random() * 1e6,
        lambda: rng.choice([True, False, None]),
    ]
    keys = [f"field_{i:04d}" for i in range(size)]
    rng.shuffle(keys)
    return {key: rng.choice(makers)() for key in keys}
