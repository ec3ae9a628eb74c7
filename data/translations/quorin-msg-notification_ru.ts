<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>DesktopNotifications</name>
    <message>
        <source>Open</source>
        <extracomment>The button of a notification whose click opens the message&apos;s web link</extracomment>
        <translation>Открыть</translation>
    </message>
</context>
</TS>
