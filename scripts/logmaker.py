#!/usr/bin/env python3
"""Makes PC-VAN and NIFTY SERVE conference-room logs as a terminal saved them.

A room's messages are downloaded several times, in overlapping and shuffled
batches, with the terminal's own chatter in between; the result is Shift_JIS
with CR LF line ends. Used for the shipped examples and for the benchmark logs.

    logmaker.py pcvan|nifty OUTPUT [--messages N] [--downloads N] [--seed N]
                [--body-lines N] [--long-percent N] [--repeat-all]
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
    """Messages are posted in number order across 1996-1997."""
    day = index // 6
    year = 96 + day // 360
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


def make_log(args):
    rng = random.Random(args.seed)
    total = args.messages
    make = pcvan_message if args.service == "pcvan" else nifty_message
    messages = {n: make(n, total, rng, args) for n in range(1, total + 1)}
    out = ["ATDT 0120-XX-XXXX", "CONNECT 2400", "ようこそ"]
    numbers = list(range(1, total + 1))
    for download in range(args.downloads):
        if args.repeat_all:
            batch = list(numbers)
        else:
            start = rng.randrange(max(1, total - total // args.downloads))
            batch = numbers[start:start + max(1, 2 * total // args.downloads)]
        rng.shuffle(batch) if download % 2 else batch.reverse()
        if args.service == "nifty":
            out.append(banner(rng, download))
        for n in batch:
            out.extend(messages[n])
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
    args = parser.parse_args()
    with open(args.output, "wb") as out:
        out.write(make_log(args))


if __name__ == "__main__":
    main()
