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


# The text of an issue or a pull request.
REPORT = (
    "登录后页面没有跳转。\r\n\r\nSteps to reproduce:\r\n1. Open /login\r\n2. Sign in "
    "with a valid account\r\n3. Wait: the page stays on /login instead of going back to "
    'the page asked for.\r\n\r\nExpected: the "next" page. Seen on Chrome 39 and '
    "Firefox 34; Safari is fine. 期望：回到原来的页面。\r\n"
) * 2


def _sha(rng):
    return "".join(rng.choice("0123456789abcdef") for _ in range(40))


def events_api(count=30):
    """A page of a public events API, as its JSON is loaded: `count` events of nested short
    objects (the actor, the repository, what happened), about 350 URLs, ids of 9 and 10 digits
    (some as strings), ISO dates and some non-ASCII text; about 53 kB compact."""
    rng = random.Random(SEED)
    api, site = "https://api.example.org", "https://example.org"
    logins = ["octo", "zhang-wei", "jsmith", "müller", "renée", "dev-ops", "li.na", "kimura"]
    names = ["Zhang Wei 张伟", "José Álvarez", "Jane Smith", "Jürgen Müller", "Renée Dubois"]
    messages = [
        "Fix login redirect\n\nThe session cookie was dropped on the way back.",
        "修复登录页跳转问题\n\n登录成功后没有回到原来的页面。",
        "Update README",
        "Añadir pruebas de regresión para el carrito",
        "Bump version to 2.4.1",
        "重构订单模块并补充单元测试",
        "Merge pull request #42 from octo/fix-login",
    ]

    def user(login):
        uid = rng.randrange(10**5, 10**8)
        base = f"{api}/users/{login}"
        return {
            "login": login,
            "id": uid,
            "avatar_url": f"{site}/avatars/u/{uid}?v=3",
            "gravatar_id": "",
            "url": base,
            "html_url": f"{site}/{login}",
            "followers_url": f"{base}/followers",
            "following_url": f"{base}/following{{/other_user}}",
            "repos_url": f"{base}/repos",
            "events_url": f"{base}/events{{/privacy}}",
            "type": "User",
            "site_admin": False,
        }

    def repository(owner, name):
        base = f"{api}/repos/{owner}/{name}"
        full = {
            "id": rng.randrange(10**7, 10**9),
            "name": name,
            "full_name": f"{owner}/{name}",
            "owner": user(owner),
            "private": False,
            "html_url": f"{site}/{owner}/{name}",
            "description": rng.choice(["A small web app", "测试工具集", "Outils de test"]),
            "fork": False,
            "url": base,
        }
        for part in (
            "forks",
            "keys",
            "collaborators",
            "teams",
            "hooks",
            "events",
            "assignees",
            "branches",
            "tags",
            "statuses",
            "languages",
            "stargazers",
            "contributors",
            "commits",
            "comments",
            "issues",
            "pulls",
            "milestones",
            "labels",
            "releases",
        ):
            full[f"{part}_url"] = f"{base}/{part}"
        full.update(
            {
                "created_at": "2014-06-11T21:13:05Z",
                "updated_at": "2015-01-01T14:48:19Z",
                "size": rng.randrange(10**4),
                "stargazers_count": rng.randrange(500),
                "language": rng.choice(["Python", "C++", "Go"]),
                "default_branch": "master",
            }
        )
        return full

    events = []
    for i in range(count):
        login, repo = rng.choice(logins), rng.choice(["webapp", "tools", "docs", "订单"])
        owner = rng.choice(logins)
        kind = (
            "PullRequestEvent"
            if i in (7, 21)
            else "IssuesEvent"
            if i in (3, 15)
            else rng.choice(["PushEvent", "PushEvent", "PushEvent", "CreateEvent", "WatchEvent"])
        )
        if kind == "PushEvent":
            commits = [
                {
                    "sha": (sha := _sha(rng)),
                    "author": {"email": f"{login}@example.org", "name": rng.choice(names)},
                    "message": rng.choice(messages),
                    "distinct": True,
                    "url": f"{api}/repos/{owner}/{repo}/commits/{sha}",
                }
                for _ in range(rng.randrange(1, 7))
            ]
            payload = {
                "push_id": rng.randrange(10**8, 10**9),
                "size": len(commits),
                "distinct_size": len(commits),
                "ref": "refs/heads/master",
                "head": commits[-1]["sha"],
                "before": _sha(rng),
                "commits": commits,
            }
        elif kind == "CreateEvent":
            payload = {
                "ref": "v2.4.1",
                "ref_type": "tag",
                "master_branch": "master",
                "description": rng.choice(["A small web app", "测试工具集"]),
                "pusher_type": "user",
            }
        elif kind == "WatchEvent":
            payload = {"action": "started"}
        elif kind == "IssuesEvent":
            number = rng.randrange(1, 500)
            base = f"{api}/repos/{owner}/{repo}/issues/{number}"
            payload = {
                "action": "opened",
                "issue": {
                    "url": base,
                    "labels_url": f"{base}/labels{{/name}}",
                    "comments_url": f"{base}/comments",
                    "events_url": f"{base}/events",
                    "html_url": f"{site}/{owner}/{repo}/issues/{number}",
                    "id": rng.randrange(10**7, 10**9),
                    "number": number,
                    "title": rng.choice(messages),
                    "user": user(login),
                    "labels": [],
                    "state": "open",
                    "locked": False,
                    "assignee": None,
                    "milestone": None,
                    "comments": 0,
                    "created_at": "2015-01-01T15:00:02Z",
                    "updated_at": "2015-01-01T15:00:02Z",
                    "closed_at": None,
                    "body": REPORT,
                },
            }
        else:
            number = rng.randrange(1, 500)
            base = f"{api}/repos/{owner}/{repo}/pulls/{number}"
            side = {
                "label": f"{login}:fix",
                "ref": "fix",
                "sha": _sha(rng),
                "user": user(login),
                "repo": repository(login, repo),
            }
            payload = {
                "action": "opened",
                "number": number,
                "pull_request": {
                    "url": base,
                    "id": rng.randrange(10**7, 10**9),
                    "html_url": f"{site}/{owner}/{repo}/pull/{number}",
                    "diff_url": f"{site}/{owner}/{repo}/pull/{number}.diff",
                    "patch_url": f"{site}/{owner}/{repo}/pull/{number}.patch",
                    "issue_url": f"{api}/repos/{owner}/{repo}/issues/{number}",
                    "number": number,
                    "state": "open",
                    "locked": False,
                    "title": rng.choice(messages),
                    "user": user(login),
                    "body": REPORT,
                    "created_at": "2015-01-01T15:00:04Z",
                    "updated_at": "2015-01-01T15:00:04Z",
                    "closed_at": None,
                    "merged_at": None,
                    "merge_commit_sha": None,
                    "assignee": None,
                    "milestone": None,
                    "commits_url": f"{base}/commits",
                    "review_comments_url": f"{base}/comments",
                    "statuses_url": f"{api}/repos/{owner}/{repo}/statuses/{side['sha']}",
                    "head": side,
                    "base": {
                        **side,
                        "label": f"{owner}:master",
                        "ref": "master",
                        "user": user(owner),
                        "repo": repository(owner, repo),
                    },
                    "merged": False,
                    "mergeable": None,
                    "comments": 0,
                    "commits": 1,
                    "additions": rng.randrange(200),
                    "deletions": rng.randrange(50),
                    "changed_files": 2,
                },
            }
        event = {
            "id": str(rng.randrange(10**9, 10**10)),
            "type": kind,
            "actor": {
                "id": rng.randrange(10**5, 10**8),
                "login": login,
                "gravatar_id": "",
                "url": f"{api}/users/{login}",
                "avatar_url": f"{site}/avatars/u/{rng.randrange(10**6)}?",
            },
            "repo": {
                "id": rng.randrange(10**7, 10**9),
                "name": f"{owner}/{repo}",
                "url": f"{api}/repos/{owner}/{repo}",
            },
            "payload": payload,
            "public": True,
            "created_at": f"2015-01-01T15:{i // 2:02d}:{(i * 7) % 60:02d}Z",
        }
        if rng.random() < 0.3:
            event["org"] = {
                "id": rng.randrange(10**6, 10**8),
                "login": "example-org",
                "gravatar_id": "",
                "url": f"{api}/orgs/example-org",
                "avatar_url": f"{site}/avatars/u/{rng.randrange(10**6)}?",
            }
        events.append(event)
    return events


def mesh_model(parts=12, vertices=3200):
    """A 3D model, as its JSON is loaded: `parts` objects holding long arrays of numbers
    (positions as floats of up to 6 significant digits, faces as vertex indices), about 115,000
    floats and 130,000 ints, ASCII only; about 1.8 MB compact."""
    rng = random.Random(SEED)

    def short(x):  # up to six significant digits, as exporters write them
        return float(f"{x:.6g}")

    objects = []
    for part in range(parts):
        scale = rng.uniform(1, 300)
        positions = [short(rng.uniform(-scale, scale)) for _ in range(3 * vertices)]
        faces = [rng.randrange(10**5) for _ in range(11_000)]
        objects.append(
            {
                "name": f"part_{part:02d}",
                "material": part % 4,
                "visible": True,
                "positions": positions,
                "faces": faces,
                "bounds": [short(-scale), short(scale)],
            }
        )
    return {
        "metadata": {
            "formatVersion": 3.1,
            "generatedBy": "exporter 2.4",
            "parts": parts,
            "vertices": vertices * parts,
            "faces": 11_000 * parts // 3,
        },
        "materials": [
            {
                "id": m,
                "name": f"material_{m}",
                "color": [short(rng.random()) for _ in range(3)],
                "opacity": 1.0,
            }
            for m in range(4)
        ],
        "objects": objects,
    }
