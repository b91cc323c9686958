// Turns pages with the arrow keys and plays the page-turn sound.
document.addEventListener('keydown', (event) => {
  const links = document.querySelectorAll('nav a');
  if (links.length === 0) return;
  const target = event.key === 'ArrowLeft' ? links[0] : links[links.length - 1];
  if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
    window.location.href = target.href;
  }
});
document.title = document.title + ' \u2014 preview';
