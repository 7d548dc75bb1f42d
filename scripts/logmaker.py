#!/usr/bin/env python3
"""Makes PC-VAN and NIFTY SERVE conference-room logs as a terminal saved them.

A room's messages are downloaded several times, in overlapping and shuffled
batches, with the terminal's own chatter in between; the result is Shift_JIS
with CR LF line ends. Used for the shipped examples and for the benchmark logs.

    logmaker.py pcvan|nifty OUTPUT [--messages N] [--downloads N] [--seed N]
                [--body-lines N] [--long-percent N] [--repeat-all]
                [--order mixed|shuffled|posting|sorted] [--banner-every N]

--order: how the downloads come. mixed (the default): overlapping batches,
reversed or shuffled in turn, then every message once more. shuffled: each
message once in one of the downloads, neighbouring downloads overlapping by
about 15% of the messages, each download in an order of its own. posting: the
same overlapping downloads in posting order, as a user who fetches the new
messages every day gets them, the middle one fetched twice. sorted: one
download in posting order and nothing else (a log already in order).
"""
import argparse
import random

TITLES = ["ログの整理について", "新しい会議室", "Re: 質問です", "オフ会のお知らせ",
          "BASIC のプログラム", "通信ソフトの設定", "Re: Re: 感想", "今日の出来事"]
WORDS = ["こんにちは", "ありがとうございます", "モデム", "パソコン通信", "ダウンロード",
         "2400bps", "フォーラム", "アップロード", "漢字", "ﾊﾝｶｸ", "MS-DOS", "ソフト",
         "表示", "能力", "予定", "\\100", "a|b", "[1]"]
USERS = ["ABC01234", "XYZ98765", "PCV00042", "MIX12345", "HAL09000"]


def message_date(index, rng):
    """Messages are posted in number order from 1996 on (two-digit years:
    2000 is 00)."""
    day = index // 6
    year = (96 + day // 360) % 100
    month = (day // 30) % 12 + 1
    dom = day % 30 + 1
    return year, month, dom, (index % 6) * 4 + rng.randrange(4), rng.randrange(60)


def body(rng, lines, long_percent):
    text = []
    for _ in range(lines):
        words = [rng.choice(WORDS) for _ in range(rng.randrange(3, 9))]
        text.append(" ".join(words))
    # A pasted file or a runaway terminal line: longer than one 8192-byte piece.
    if rng.randrange(100) < long_percent:
        text.insert(rng.randrange(len(text) + 1), "X" * rng.randrange(8200, 20000))
    return text


def pcvan_message(number, total, rng, args):
    year, month, day, hour, minute = message_date(number, rng)
    lines = body(rng, rng.randrange(1, args.body_lines + 1), 0)
    title = rng.choice(TITLES)
    header1 = "#%d/%d %s" % (number, total, title)
    header2 = "★タイトル (%s)  %02d/%02d/%02d  %02d:%02d (%d) %s" % (
        rng.choice(USERS), year, month, day, hour, minute, len(lines), title)
    # Line 2, a blank line, the counted body, and two closing lines.
    return [header1, header2, ""] + lines + ["", ""]


def nifty_message(number, total, rng, args):
    year, month, day, hour, minute = message_date(number, rng)
    lines = body(rng, rng.randrange(1, args.body_lines + 1), args.long_percent)
    header1 = "%05d/%05d %s %s" % (number, total, rng.choice(USERS), rng.choice(TITLES))
    header2 = "( 3)   %02d/%02d/%02d %02d:%02d" % (year, month, day, hour, minute)
    return [header1, header2] + lines + [""]


def banner(rng, download):
    year, month, day, _, _ = message_date(download * 40, rng)
    return "- FPCVAN MES( 3) 会議室 %02d/%02d/%02d" % (year, month, day)


def overlapping_batches(numbers, downloads):
    """Consecutive ranges of the numbers, each reaching into its neighbours'
    so that about 15% of the messages come twice."""
    total = len(numbers)
    reach = int(0.075 * total / max(1, downloads - 1)) if downloads > 1 else 0
    batches = []
    for download in range(downloads):
        start = max(0, download * total // downloads - reach)
        end = min(total, (download + 1) * total // downloads + reach)
        batches.append(numbers[start:end])
    return batches


def with_banners(batch, messages, rng, download, every, service):
    lines = []
    for place, n in enumerate(batch):
        if service == "nifty" and every and place % every == every - 1:
            lines.append(banner(rng, download))
        lines.extend(messages[n])
    return lines


def make_ordered_log(args, messages, numbers, rng):
    if args.order == "sorted":
        out = [banner(rng, 0)] if args.service == "nifty" else []
        for n in numbers:
            out.extend(messages[n])
        return out
    batches = overlapping_batches(numbers, args.downloads)
    if args.order == "posting" and len(batches) > 2:
        middle = len(batches) // 2
        batches.insert(middle, list(batches[middle]))
    out = ["ATDT 0120-XX-XXXX", "CONNECT 2400", "ようこそ"]
    for download, batch in enumerate(batches):
        batch = list(batch)
        if args.order == "shuffled":
            rng.shuffle(batch)
        if args.service == "nifty":
            out.append(banner(rng, download))
        out.extend(with_banners(batch, messages, rng, download, args.banner_every, args.service))
        out.append("コマンド？")
    return out


def make_log(args):
    rng = random.Random(args.seed)
    total = args.messages
    make = pcvan_message if args.service == "pcvan" else nifty_message
    messages = {n: make(n, total, rng, args) for n in range(1, total + 1)}
    numbers = list(range(1, total + 1))
    if args.order != "mixed":
        out = make_ordered_log(args, messages, numbers, rng)
        return ("\r\n".join(out) + "\r\n").encode("shift_jis")
    out = ["ATDT 0120-XX-XXXX", "CONNECT 2400", "ようこそ"]
    for download in range(args.downloads):
        if args.repeat_all:
            batch = list(numbers)
        else:
            start = rng.randrange(max(1, total - total // args.downloads))
            batch = numbers[start:start + max(1, 2 * total // args.downloads)]
        rng.shuffle(batch) if download % 2 else batch.reverse()
        if args.service == "nifty":
            out.append(banner(rng, download))
        out.extend(with_banners(batch, messages, rng, download, args.banner_every, args.service))
        out.append("コマンド？")
    # Every message at least once.
    if not args.repeat_all:
        for n in numbers:
            out.extend(messages[n])
    data = "\r\n".join(out) + "\r\n"
    return data.encode("shift_jis")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("service", choices=["pcvan", "nifty"])
    parser.add_argument("output")
    parser.add_argument("--messages", type=int, default=12)
    parser.add_argument("--downloads", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1996)
    parser.add_argument("--body-lines", type=int, default=6)
    parser.add_argument("--long-percent", type=int, default=0,
                        help="NIFTY SERVE: percent of messages with a line over 8192 bytes")
    parser.add_argument("--repeat-all", action="store_true")
    parser.add_argument("--order", choices=["mixed", "shuffled", "posting", "sorted"],
                        default="mixed")
    parser.add_argument("--banner-every", type=int, default=0,
                        help="NIFTY SERVE: a forum banner line after every N messages")
    args = parser.parse_args()
    with open(args.output, "wb") as out:
        out.write(make_log(args))


if __name__ == "__main__":
    main()
