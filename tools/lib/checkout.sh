# Sourced by the scripts that build elsewhere than in the checkout.

# qmn_copy_checkout CHECKOUT DEST: the checkout's files as they are, tracked and new, without its
# builds, into DEST (made afresh).
qmn_copy_checkout() {
    rm -rf "$2"
    mkdir -p "$2"
    if git -C "$1" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$1" ls-files -z --cached --others --exclude-standard |
            tar -C "$1" --null -T - -cf - | tar -C "$2" -xf -
    else
        tar -C "$1" --exclude='./build*' -cf - . | tar -C "$2" -xf -
    fi
}
