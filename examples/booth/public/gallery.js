// The photos of the session: the gallery of thumbnails, and the photo just
// taken shown large for a few seconds. Each thumbnail is made once by the
// page: the photo is fetched, scaled to the width the server chose, and
// kept as a small JPEG. Only photos scrolled into view are fetched, one at
// a time.

import { $ } from './page.js';

const params = new URLSearchParams(location.search);
const REVIEW_MS = Number(params.get('reviewMs')) || 5000;

let thumbWidth = 320;
const thumbs = new WeakMap(); // <li> -> the photo it shows
const waiting = [];
let making = false;

/** The width the server chose for thumbnails. */
export function setThumbWidth(width) {
  thumbWidth = width || thumbWidth;
}

const inView = new IntersectionObserver((entries) => {
  for (const e of entries) {
    if (!e.isIntersecting) continue;
    inView.unobserve(e.target);
    waiting.push(e.target);
  }
  makeThumbs();
}, { rootMargin: '300px' });

async function makeThumbs() {
  if (making) return;
  making = true;
  while (waiting.length) {
    const li = waiting.shift();
    if (!li.isConnected) continue;
    const p = thumbs.get(li);
    const img = li.querySelector('img');
    try {
      img.src = await thumbnail(p.url);
    } catch {
      li.classList.add('noimage');
    }
  }
  making = false;
}

async function thumbnail(url) {
  const res = await fetch(url);
  if (!res.ok) throw new Error(`photo: ${res.status}`);
  const bitmap = await createImageBitmap(await res.blob(), { resizeWidth: thumbWidth, resizeQuality: 'medium' });
  try {
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    canvas.getContext('2d').drawImage(bitmap, 0, 0);
    return URL.createObjectURL(await canvas.convertToBlob({ type: 'image/jpeg', quality: 0.85 }));
  } finally {
    bitmap.close();
  }
}

function photoItem(p) {
  const li = document.createElement('li');
  const a = document.createElement('a');
  a.href = p.url;
  a.target = '_blank';
  a.rel = 'noopener';
  const img = document.createElement('img');
  img.alt = p.name;
  img.addEventListener('error', () => li.classList.add('noimage'));
  const label = document.createElement('span');
  label.textContent = p.name;
  a.append(img, label);
  li.append(a);
  thumbs.set(li, p);
  inView.observe(li);
  return li;
}

export function setGallery(photos) {
  for (const img of $('gallery').querySelectorAll('img[src^="blob:"]')) URL.revokeObjectURL(img.src);
  $('gallery').replaceChildren(...photos.map(photoItem));
  $('empty').hidden = photos.length > 0;
}

export function addPhoto(p) {
  $('gallery').prepend(photoItem(p));
  $('empty').hidden = true;
}

// -- the photo just taken ---------------------------------------------------

let reviewTimer = null;

export function review(p) {
  const img = $('review-photo');
  $('review-caption').textContent = 'Your photo';
  img.onerror = () => { $('review-caption').textContent = 'Your photo is saved.'; };
  img.src = p.url;
  $('review').hidden = false;
  clearTimeout(reviewTimer);
  reviewTimer = setTimeout(hideReview, REVIEW_MS);
}

export function hideReview() {
  clearTimeout(reviewTimer);
  $('review').hidden = true;
  $('review-photo').removeAttribute('src');
}
$('review').addEventListener('click', hideReview);
document.addEventListener('keydown', (ev) => { if (ev.key === 'Escape') hideReview(); });
