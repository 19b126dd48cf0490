// The two helpers every part of the picker builds its elements with.

/** The element with this id. */
export const $ = (id) => document.getElementById(id);

/** A new element with a class and a text, both optional. */
export function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}
