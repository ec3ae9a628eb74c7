// Intentionally empty: main comes from libquorin-msg-notification.so.
