#!/usr/bin/python3
"""Decodes one message file with Python's email package (policy=default), an independent parser.

Prints one JSON object: the decoded Subject, the display names and addresses of From and Sender,
the Message-ID, and every leaf part in order: its content type, charset, decoded file name, and
its content (text decoded with its charset; anything else as hexadecimal bytes).
"""
import email
import email.policy
import json
import sys


def mailbox(message, name):
    header = message[name]
    if header is None:
        return None
    address = header.addresses[0]
    return [address.display_name, address.addr_spec]


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    parts = []
    for part in message.walk():
        if part.is_multipart():
            continue
        entry = {"type": part.get_content_type(), "charset": part.get_content_charset(),
                 "filename": part.get_filename()}
        if part.get_content_maintype() == "text" and part.get_filename() is None:
            entry["text"] = part.get_content()
        else:
            entry["hex"] = part.get_payload(decode=True).hex()
        parts.append(entry)
    print(json.dumps({"subject": str(message["Subject"] or ""), "from": mailbox(message, "From"),
                      "sender": mailbox(message, "Sender"), "message_id": str(message["Message-ID"] or ""),
                      "parts": parts}))


if __name__ == "__main__":
    main()
