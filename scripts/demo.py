#!/usr/bin/env python3
"""The sample mailbox and profile of `make demo`, on the loopback servers of
scripts/mailservers.sh (described by their env file).

  demo.py profile ENVFILE HOME   write the demo profile (settings) into HOME
  demo.py friends HOME           put the sample friend on the Friends list
  demo.py fill ENVFILE           mail the six sample messages to me@iw.test
  demo.py reply ENVFILE          answer the stranger's challenge as he would
  demo.py check ENVFILE HOME STAGE   exit 0 when the sample's outcome after
                                 the first scan (STAGE 1) or after the reply
                                 and the next scan (STAGE 2) is as expected
"""
import email
import email.policy
import glob
import os
import smtplib
import sqlite3
import subprocess
import sys
import time
from email.message import EmailMessage

FRIEND = "Fran Friend <friend@iw.test>"
STRANGER = "Sam Stranger <stranger@iw.test>"
STRANGER_SUBJECT = "Question about the flat for rent"
ME = "me@iw.test"


def read_env(path):
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            values[key] = value
    if "IW_MAIL_UNAVAILABLE" in values:
        sys.exit("demo: the loopback mail servers are unavailable: " + values["IW_MAIL_UNAVAILABLE"])
    return values


# The settings file keeps passwords scrambled with a number of this machine;
# the same reversible shift as the program's (src/support/Scramble.cpp).
def machine_number():
    try:
        with open("/etc/machine-id", "rb") as f:
            serial = int(f.read(8).decode("ascii"), 16)
    except (OSError, ValueError):
        serial = 0
    value = serial ^ 0xFFFF
    if value >= 0x80000000:
        value -= 0x100000000
    return value & 0xFFFFFFFF if value == -0x80000000 else abs(value)


def scramble(text, m):
    n = len(text)
    d_odd, d_even = (m + n) % 10, ((m - n) & 0xFFFFFFFF) % 10
    if n % 10 == 0:
        d_odd = d_even = 6
    a_odd, a_even = (m + n) % 26, ((m - n) & 0xFFFFFFFF) % 26
    out = []
    for i, c in enumerate(text):
        odd = i % 2 == 1
        if c.isascii() and c.isdigit():
            out.append(chr(ord("0") + (ord(c) - ord("0") + (d_odd if odd else d_even)) % 10))
        elif "A" <= c <= "Z" or "a" <= c <= "z":
            first = ord("A") if c <= "Z" else ord("a")
            out.append(chr(first + (ord(c) - first + (a_odd if odd else a_even)) % 26))
        else:
            out.append(c)
    return "".join(reversed(out))


def fingerprint(cert):
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", cert],
                         check=True, capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1]


def profile(env, home):
    password = "me-pw-7431"
    sections = {
        "General": {
            "SmtpName": env["IW_MAIL_HOST"],
            "SmtpPort": env["IW_MAIL_SMTP_PORT"],
            "SmtpSecurity": "0",
            "Name": "Me",
            "SendChallenges": "Yes",
            "SendConfirmations": "Yes",
            "AccountsList": "Demo",
            # A profile without an interval is a first start: the wizard.
            "Interval": "10",
            "IntervalInMinutes": "Yes",
            "AutoScan": "No",
            "EnableLogging": "Yes",
            "NotificationType": "1",
        },
        "Demo": {
            "emailAddress": ME,
            "PopName": env["IW_MAIL_HOST"],
            "PopPort": env["IW_MAIL_POP3_PORT"],
            # STLS with the servers' self-signed certificate, trusted by its
            # fingerprint as the settings dialog would after asking.
            "PopSecurity": "1",
            "PopCertSha256": fingerprint(env["IW_MAIL_CA_FILE"]),
            "PopLogin": ME,
            "!PopPassword": scramble(password, machine_number()),
            "Filter": "Yes",
        },
    }
    os.makedirs(home, exist_ok=True)
    with open(os.path.join(home, "InboxWarden.ini"), "w", encoding="utf-8") as f:
        for section, keys in sections.items():
            f.write("[%s]\n" % section)
            for key, value in keys.items():
                f.write("%s=%s\n" % (key, value))


def friends(home):
    # The database exists already: the scanner made it with its tables.
    with sqlite3.connect(os.path.join(home, "InboxWarden.mdb")) as db:
        db.execute("INSERT INTO Friends (words, flags) VALUES (?, 1)", ("friend@iw.test",))
        db.execute("INSERT INTO BadSubjects (words, flags) VALUES (?, 1)", ("cheap pills",))


# Header lines unfolded, as most mail programs write a reply's subject.
UNFOLDED = email.policy.default.clone(max_line_length=998)


def message(sender, subject, body, **headers):
    msg = EmailMessage(policy=UNFOLDED)
    msg["From"] = sender
    msg["To"] = "Me <%s>" % ME
    msg["Subject"] = subject
    for key, value in headers.items():
        msg[key.replace("_", "-")] = value
    msg.set_content(body)
    return msg


def samples():
    with_file = message(FRIEND, "Photos from the weekend", "Here are the photos.\n")
    with_file.add_attachment(b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8, maintype="image",
                             subtype="png", filename="beach.png")
    return [
        ("friend@iw.test", message(FRIEND, "Lunch on Friday?", "Shall we meet at noon?\n")),
        ("stranger@iw.test", message(STRANGER, STRANGER_SUBJECT,
                                     "Hello, is the flat still free?\n")),
        ("list-bounces@lists.iw.test",
         message("Gardening list <garden@lists.iw.test>", "[garden] Weekly digest",
                 "Five messages this week.\n", List_Id="<garden.lists.iw.test>",
                 List_Unsubscribe="<mailto:garden-leave@lists.iw.test>")),
        ("", message("Shop robot <orders@shop.iw.test>", "Your order has shipped",
                     "Order 1234 is on its way.\n", Auto_Submitted="auto-generated")),
        # The sender is made up: no challenge must go there.
        ("bounce-7781@spam.iw.test",
         message("Account Security <security@yourbank.iw.test>", "Cheap pills today only",
                 "Click here.\n")),
        ("friend@iw.test", with_file),
    ]


def maildir_files(env, user):
    base = os.path.join(env["IW_MAIL_ROOT"], "iw.test", user, "Maildir")
    return sorted(glob.glob(base + "/new/*") + glob.glob(base + "/cur/*"))


def wait_for(env, user, count, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if len(maildir_files(env, user)) >= count:
            return True
        time.sleep(0.2)
    return False


def send(env, envelope_from, msg):
    with smtplib.SMTP(env["IW_MAIL_HOST"], int(env["IW_MAIL_SMTP_PORT"]), timeout=15) as smtp:
        smtp.send_message(msg, from_addr=envelope_from, to_addrs=[ME])


def fill(env):
    before = len(maildir_files(env, "me"))
    for envelope_from, msg in samples():
        send(env, envelope_from, msg)
    if not wait_for(env, "me", before + len(samples())):
        sys.exit("demo: the sample messages did not arrive")


def subjects(env, user):
    out = []
    for path in maildir_files(env, user):
        with open(path, "rb") as f:
            out.append(str(email.message_from_binary_file(f, policy=email.policy.default)["Subject"]))
    return out


def reply(env):
    challenges = [s for s in subjects(env, "stranger") if "[InboxWardenChallenge:" in s]
    if not challenges:
        sys.exit("demo: no challenge for the stranger yet; scan first")
    msg = message(STRANGER, "Re: " + challenges[-1], "Yes, it's really me.\n")
    before = len(maildir_files(env, "me"))
    send(env, "stranger@iw.test", msg)
    if not wait_for(env, "me", before + 1):
        sys.exit("demo: the answer did not arrive")
    print("Sam Stranger answered the challenge; scan again to see him registered.")


def check(env, home, stage):
    # Challenges and restored copies travel through Postfix: wait for them.
    deadline = time.monotonic() + 20
    while True:
        problems = outcome(env, home, stage)
        if not problems or time.monotonic() > deadline:
            break
        time.sleep(0.3)
    for p in problems:
        print("demo check (stage %d): %s" % (stage, p), file=sys.stderr)
    sys.exit(1 if problems else 0)


def outcome(env, home, stage):
    problems = []
    mine = subjects(env, "me")
    stranger = subjects(env, "stranger")
    with sqlite3.connect(os.path.join(home, "InboxWarden.mdb")) as db:
        status = dict(db.execute("SELECT subject, status FROM EmailData").fetchall())
    if stage == 1:
        if sorted(mine) != sorted(["Lunch on Friday?", "Photos from the weekend"]):
            problems.append("left on the server: %r" % mine)
        if len(stranger) != 1 or "[InboxWardenChallenge:" not in stranger[0]:
            problems.append("the stranger's mail: %r" % stranger)
        # 1 on the server, 2 in quarantine, 4 deleted.
        expected = {"Lunch on Friday?": 1, "Photos from the weekend": 1, STRANGER_SUBJECT: 2,
                    "[garden] Weekly digest": 2, "Your order has shipped": 2,
                    "Cheap pills today only": 4}
        if status != expected:
            problems.append("history %r" % status)
        if len(maildir_files(env, "yourbank.iw.test")) or glob.glob(
                os.path.join(env["IW_MAIL_ROOT"], "*bank*")):
            problems.append("mail went to the forged sender")
    else:
        if not any(STRANGER_SUBJECT in s and "[InboxWardenRestored]" in s for s in mine):
            problems.append("the stranger's message was not restored: %r" % mine)
        if not any("registration was successful" in s for s in stranger):
            problems.append("no confirmation to the stranger: %r" % stranger)
        with sqlite3.connect(os.path.join(home, "InboxWarden.mdb")) as db:
            if not db.execute("SELECT 1 FROM Friends WHERE words = ?",
                              ("stranger@iw.test",)).fetchone():
                problems.append("the stranger is not on the Friends list")
    return problems


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    command = argv[1]
    if command == "profile" and len(argv) == 4:
        profile(read_env(argv[2]), argv[3])
    elif command == "friends" and len(argv) == 3:
        friends(argv[2])
    elif command == "fill" and len(argv) == 3:
        fill(read_env(argv[2]))
    elif command == "reply" and len(argv) == 3:
        reply(read_env(argv[2]))
    elif command == "check" and len(argv) == 5:
        check(read_env(argv[2]), argv[3], int(argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
